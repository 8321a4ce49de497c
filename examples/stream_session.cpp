// A capture session without a robot: synthetic cameras (a moving pattern
// with a frame counter) stream to the operator's browser, which chooses the
// cameras and starts, ends, retries and finishes episodes; every frame is
// recorded and the dataset exported at the end. Uses only the public library.
//   stream_session [--server http://HOST:PORT] [--user-id U] [--cameras N] [--fps F]
#include <tessaline/tessaline.hpp>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// 3x5 digits, one row of 3 bits per line, for the frame counter.
constexpr uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
                                    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

tessaline::NdArray render(int camera, long frame, size_t width = 640, size_t height = 480) {
  tessaline::NdArray img(tessaline::DType::uint8, {height, width, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint8_t* px = p + (y * width + x) * 3;
      const bool stripe = ((x + static_cast<size_t>(frame) * 4) / 40 + y / 40) % 2;
      px[0] = static_cast<uint8_t>(camera == 0 ? 40 + stripe * 150 : 20);
      px[1] = static_cast<uint8_t>(60 + (y * 120) / height);
      px[2] = static_cast<uint8_t>(camera == 0 ? 60 : 60 + stripe * 160);
    }
  }
  const std::string text = std::to_string(frame);
  constexpr int scale = 8;
  for (size_t i = 0; i < text.size(); ++i) {
    for (int row = 0; row < 5; ++row) {
      for (int col = 0; col < 3; ++col) {
        if (!((kDigits[text[i] - '0'][row] >> (2 - col)) & 1)) continue;
        for (int dy = 0; dy < scale; ++dy) {
          for (int dx = 0; dx < scale; ++dx) {
            const size_t x = 16 + i * 4 * scale + static_cast<size_t>(col * scale + dx);
            const size_t y = 16 + static_cast<size_t>(row * scale + dy);
            if (x < width && y < height) std::memset(p + (y * width + x) * 3, 255, 3);
          }
        }
      }
    }
  }
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Stream synthetic cameras to the browser and record what it asks for.", "stream_session"};
  std::string server, user_id;
  int cameras = 2, fps = 15;
  app.add_option("--server", server, "backend HTTP base (default: VELQUIN_HTTP_SERVER)");
  app.add_option("--user-id", user_id, "record under this user (default: sign in through the browser)");
  app.add_option("--cameras", cameras, "synthetic cameras")->check(CLI::Range(1, 2));
  app.add_option("--fps", fps, "frames per second")->check(CLI::Range(1, 60));
  std::string robot_type = "virtual_arm";
  app.add_option("--robot-type", robot_type, "the robot type it records as (names its six joints on the page)");
  double connect_timeout = 300;
  app.add_option("--connect-timeout", connect_timeout, "seconds to wait for the browser")->check(CLI::Range(0.1, 86400.0));
  CLI11_PARSE(app, argc, argv);

  std::vector<std::string> keys;
  for (int c = 0; c < cameras; ++c) keys.push_back(c == 0 ? "observation.images.cam_front" : "observation.images.cam_wrist");
  tessaline::VelquinSession session(keys, "", robot_type, fps, server,
                                    user_id.empty() ? std::nullopt : std::optional<std::string>(user_id));
  std::printf("stream_session: user '%s', waiting for the browser...\n", session.user_id().c_str());
  std::fflush(stdout);

  std::atomic<long> frame_number{0};
  std::atomic<bool> running{true};
  std::thread cameras_thread([&] {  // live video, recording or not
    auto next = Clock::now();
    while (running) {
      const long n = frame_number++;
      for (int c = 0; c < cameras; ++c) session.update_frame(keys[static_cast<size_t>(c)], render(c, n));
      next += std::chrono::microseconds(1'000'000 / fps);
      std::this_thread::sleep_until(next);
    }
  });
  auto finish = [&](int code) {
    running = false;
    cameras_thread.join();
    return code;
  };

  if (!session.connect(connect_timeout)) {
    std::printf("stream_session: the browser did not connect\n");
    session.close(false);
    return finish(1);
  }
  session.send_status("camera_selection", {{"cameras", keys}, {"selected", keys}});
  std::optional<std::string> command;
  while (session.is_connected() && (command = session.wait_for_command(1.0)) != "select_cameras") {
  }
  const auto selection = session.get_camera_selection();
  std::printf("stream_session: recording cameras %s\n", kit::json::to_wire(selection).c_str());
  std::fflush(stdout);

  bool ended = false;
  while (!ended && session.is_connected()) {
    session.send_status("waiting", {{"episode", session.episode_index()}});
    do {
      command = session.wait_for_command(1.0);
    } while (command != "start" && command != "end" && session.is_connected());
    if (command != "start") break;
    // As a capture numbers them: "waiting" counts the episodes so far, "recording" and "idle" name the episode (from 1).
    session.send_status("recording", {{"episode", session.episode_index() + 1}});
    const auto started = Clock::now();
    auto next = started;
    for (;;) {
      const auto cmd = session.wait_for_command(0.0);
      const bool end_here = cmd == "end_episode" || cmd == "end" || !session.is_connected();
      const long n = frame_number.load();
      auto record = std::make_shared<tessaline::Record>();
      for (const auto& key : keys) {
        if (std::find(selection.begin(), selection.end(), key) != selection.end()) record->set(key, render(key == keys[0] ? 0 : 1, n));
      }
      const float t = std::chrono::duration<float>(Clock::now() - started).count();
      // Six joints that sway: the follower's reading trails the leader's command a little.
      std::vector<float> state;
      std::vector<double> action;
      for (int j = 0; j < 6; ++j) {
        action.push_back(30.0 * std::sin(t * (0.5 + 0.2 * j) + j));
        state.push_back(static_cast<float>(30.0 * std::sin((t - 0.1f) * (0.5 + 0.2 * j) + j)));
      }
      record->set("state", tessaline::NdArray::from_vector(tessaline::DType::float32, state));
      record->set("timestamp", static_cast<double>(t));
      session.log_frame(record, action, end_here);
      if (cmd == "retry_episode") {
        session.reset_episode();
        session.send_status("recording", {{"retried", true}});
        continue;
      }
      if (end_here) {
        const long index = session.episode_index();
        if (session.end_episode()) session.send_status("idle", {{"episode", index + 1}, {"completed", true}});
        ended = cmd == "end" || !session.is_connected();
        break;
      }
      next += std::chrono::microseconds(1'000'000 / fps);
      std::this_thread::sleep_until(next);
    }
  }
  std::printf("stream_session: %ld frame(s) in %ld episode(s); closing%s\n", session.total_frame_count(),
              session.episode_index(), session.total_frame_count() ? " and exporting" : "");
  std::fflush(stdout);
  session.close(true);
  return finish(0);
}
