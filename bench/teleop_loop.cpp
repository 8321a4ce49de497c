// The teleoperation loop's pacing over simulated arms with two live 640x480
// virtual cameras: ticks at 30 frames/s for a few seconds, reporting the
// mean period against its target (ratio, limit 1.01) and how late the worst
// ticks start (p99, limit: a tenth of the period), next to the spread of
// the capture alone (bus reads, camera frames) in the same run.
//   teleop_loop [SECONDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <sys/resource.h>
#include <unistd.h>

#include "bench/loop_ticks.hpp"
#include "bench/report.hpp"
#include "armkit/sim/arm_sim.hpp"
#include "armkit/sim/frame_file.hpp"
#include "cli/teleop_loop.hpp"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  constexpr int fps = 30;
  const auto dir = std::filesystem::temp_directory_path() / ("teleop-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  // Two cameras drawn at their own rate, as the rig does.
  std::vector<std::unique_ptr<armkit::FrameFileWriter>> writers;
  std::map<std::string, armkit::OpenCVCameraConfig> cameras;
  for (const std::string name : {"front", "wrist"}) {
    writers.push_back(std::make_unique<armkit::FrameFileWriter>((dir / name).string(), 640, 480));
    cameras[name] = {"virtual:" + (dir / name).string(), 640, 480, fps};
  }
  std::atomic<bool> drawing{true};
  std::thread painter([&] {
    const kit::NdArray frame(kit::DType::uint8, {480, 640, 3});
    while (drawing) {
      for (auto& w : writers) w->write(frame);
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 / fps));
    }
  });

  armkit::SimulatedArm leader_sim("so101_leader"), follower_sim("so101_follower");
  setenv("HF_LEROBOT_CALIBRATION", (dir / "calibration").c_str(), 1);
  armkit::save_calibration(armkit::calibration_path("so101_leader", "bench"), leader_sim.calibrate_like_the_framework());
  armkit::save_calibration(armkit::calibration_path("so101_follower", "bench"), follower_sim.calibrate_like_the_framework());
  armkit::Teleoperator teleop({.type = "so101_leader", .port = leader_sim.port(), .id = "bench"});
  auto robot_config = armkit::RobotConfig::get_choice_class("so101_follower")(follower_sim.port(), cameras);
  robot_config.id = "bench";
  armkit::Robot robot(robot_config);
  teleop.connect();
  robot.connect();
  for (const auto& [name, camera] : robot.cameras) {
    while (camera->frames_read() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  // Each tick passes through the robot-action processor once: note when.
  std::vector<bench::TickClock::time_point> ticks;
  const std::vector<std::string> selected = {"observation.images.cam_front", "observation.images.cam_wrist"};
  tessaline::capture::teleop_loop(teleop, robot, fps, bench::processors_noting_ticks(ticks), selected, seconds);

  // A tick's action leaves once its capture is done (the follower's and the
  // leader's positions read over the bus, the cameras' latest frames), so
  // the capture's spread is the ticks' spread: time it alone, same pace.
  std::vector<double> capture_ms;
  for (int i = 0; i < static_cast<int>(seconds * fps); ++i) {
    const auto t = Clock::now();
    robot.get_observation();
    teleop.get_action();
    capture_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    std::this_thread::sleep_until(t + std::chrono::microseconds(1'000'000 / fps));
  }
  std::sort(capture_ms.begin(), capture_ms.end());
  const double capture_spread = capture_ms[capture_ms.size() * 99 / 100] - capture_ms[capture_ms.size() / 2];
  robot.disconnect();
  teleop.disconnect();
  drawing = false;
  painter.join();
  writers.clear();
  std::filesystem::remove_all(dir);

  const double period_ms = 1000.0 / fps;
  std::vector<double> late_ms = bench::lateness_ms(ticks, fps);
  std::sort(late_ms.begin(), late_ms.end());
  const double mean_ms =
      std::chrono::duration<double, std::milli>(ticks.back() - ticks.front()).count() / static_cast<double>(ticks.size() - 1);
  const double p99 = late_ms[late_ms.size() * 99 / 100];
  std::printf("teleop loop at %d frames/s, 2 cameras: %zu ticks, mean period %.2f ms (target %.2f, ratio %.3f, limit 1.01); "
              "p99 late %.2f ms (ratio %.2f of the %.2f ms limit)\n",
              fps, ticks.size(), mean_ms, period_ms, mean_ms / period_ms, p99, p99 / (period_ms / 10), period_ms / 10);
  std::printf("capture alone (bus reads of both arms, latest camera frames): median %.2f ms, p99 %.2f ms, "
              "spread %.2f ms\n", capture_ms[capture_ms.size() / 2], capture_ms[capture_ms.size() * 99 / 100], capture_spread);
  bench::report("teleop loop tick p99 late (ms)", bench::format("%.2f", p99), "< 0.50", p99 < 0.5);
  // What the loop adds to the capture's own spread (its waits, its work).
  const double added = p99 / std::max(capture_spread, 0.05);
  bench::report("teleop tick p99 late vs the capture's p99 spread", bench::format("%.2f", added), "<= 1.50", added <= 1.5);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);  // the loop, both cameras read and drawn: no streaming or logging here
  const double rss_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  bench::report("teleop loop + 2 cameras at 30 Hz: peak RSS (MiB)", bench::format("%.0f", rss_mib), "< 150", rss_mib < 150);
  return mean_ms / period_ms <= 1.01 && p99 <= period_ms / 10 ? 0 : 1;
}
