// The C++ side of the Python benches (bench/python_logging.py), and the
// Flight server both sides send to:
//   python_reference serve             a Flight server that keeps nothing;
//                                      prints its port, ends when stdin closes
//   python_reference rate PORT FRAMES  frames/s of log_robot_data, unpaced
//   python_reference paced PORT FRAMES caller cost per call (us) at 30 frames/s
//   python_reference teleop LEADER_PORT FOLLOWER_PORT FPS SECONDS
//                                      `teleoperate`'s loop on the rig's arms
//                                      (ids rig_leader, rig_follower): how late
//                                      each tick starts (ms)
// Frames are two 640x480 cameras drawn as the Python side draws them; each
// call builds its record from them, as the Python side hands its dict.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "armkit/robots/robot.hpp"
#include "bench/loop_ticks.hpp"
#include "cli/teleop_loop.hpp"
#include "kit/flight/flight.hpp"
#include "tessaline/grpc_client.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Value at (y, x, c) of camera `camera` in frame `frame`: (x + y*3 + c*7 + frame*5 + camera*11) mod 256.
tessaline::NdArray camera_image(int camera, int frame) {
  tessaline::NdArray img(tessaline::DType::uint8, {480, 640, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      for (int c = 0; c < 3; ++c) *p++ = static_cast<uint8_t>((x + y * 3 + c * 7 + frame * 5 + camera * 11) % 256);
  return img;
}

// A frame's parts as a capture loop holds them; the record is built per call.
struct Frame {
  tessaline::NdArray front, wrist, state;
  double timestamp;
};

std::vector<Frame> frames(int count) {
  std::vector<Frame> out;
  for (int i = 0; i < count; ++i) {
    out.push_back({camera_image(0, i % 30), camera_image(1, i % 30),
                   tessaline::NdArray::from_vector(tessaline::DType::float32, std::vector<float>(6, 0.5f)), i / 30.0});
  }
  return out;
}

// What a C++ caller does per frame, as the Python caller's dict becomes one.
std::shared_ptr<const tessaline::Record> record_of(const Frame& frame) {
  auto r = std::make_shared<tessaline::Record>();
  r->set("observation.images.cam_front", frame.front);
  r->set("observation.images.cam_wrist", frame.wrist);
  r->set("state", frame.state);
  r->set("timestamp", frame.timestamp);
  return r;
}

const tessaline::Value& action() {
  static const tessaline::Value value(tessaline::List{0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
  return value;
}

// The ticks of the loop `tessaline teleoperate` runs, noted as each action
// passes the robot-action step.
int teleop(const std::string& leader_port, const std::string& follower_port, int fps, double seconds) {
  armkit::Teleoperator leader({.type = "so101_leader", .port = leader_port, .id = "rig_leader"});
  auto config = armkit::RobotConfig::get_choice_class("so101_follower")(follower_port, {});
  config.id = "rig_follower";
  armkit::Robot follower(config);
  leader.connect();
  follower.connect();
  std::vector<bench::TickClock::time_point> ticks;
  tessaline::capture::teleop_loop(leader, follower, fps, bench::processors_noting_ticks(ticks), {}, seconds);
  follower.disconnect();
  leader.disconnect();
  for (const double late : bench::lateness_ms(ticks, fps)) std::printf("%.3f\n", late);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve") {
    kit::flight::FlightServer server({}, [](kit::flight::FlightPut&) {});
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
  }
  if (mode == "teleop" && argc == 6) return teleop(argv[2], argv[3], std::atoi(argv[4]), std::atof(argv[5]));
  if ((mode != "rate" && mode != "paced") || argc != 4) {
    std::fprintf(stderr, "usage: python_reference serve | rate PORT FRAMES | paced PORT FRAMES"
                         " | teleop LEADER_PORT FOLLOWER_PORT FPS SECONDS\n");
    return 2;
  }
  const auto records = frames(std::atoi(argv[3]));
  tessaline::VelquinGrpcClient client(std::string("127.0.0.1:") + argv[2], "bench");
  client.log_robot_data(record_of(records[0]), action());  // connected before the clock starts
  client.wait_pending();
  if (mode == "rate") {
    const auto t0 = Clock::now();
    for (const auto& r : records) client.log_robot_data(record_of(r), action());
    client.shutdown();
    std::printf("%.2f\n", records.size() / std::chrono::duration<double>(Clock::now() - t0).count());
    return 0;
  }
  auto next = Clock::now();
  for (const auto& r : records) {
    std::this_thread::sleep_until(next);
    next += std::chrono::microseconds(33'333);
    const auto t = Clock::now();
    client.log_robot_data(record_of(r), action());
    std::printf("%.2f\n", std::chrono::duration<double, std::micro>(Clock::now() - t).count());
  }
  client.shutdown();
  return 0;
}
