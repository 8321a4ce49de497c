// Live video cost and delay: one 640x480 track at 30 frames/s from a
// WebRTCStreamer to the operator app in headless Chromium, through the
// studio, inside a network namespace (run via tests/browser/run_in_netns.sh).
// Prints the streamer process's CPU use while streaming and the
// glass-to-glass delay: a counter drawn into each frame, read back in the
// page on each decoded frame, both stamped with the same wall clock.
// "loaded": both cores kept busy by spinning threads for the whole run.
// "encoding": a session of two 640×480 cameras recorded beside the stream,
// as a studio on the robot's own machine records one — staged without live
// encoding for the first SECONDS, then encoded while it records for as
// long: the delay with live encoding against without, in the same run.
//   webrtc_stream [SECONDS] [loaded|encoding]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <vector>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "bench/report.hpp"
#include "bench/staged_frames.hpp"
#include "kit/loop/event_loop.hpp"
#include "studio/datasets/live_encoder.hpp"
#include "studio/server/studio_server.hpp"
#include "tessaline/webrtc_streamer.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

tessaline::NdArray counter_frame(int counter) {
  tessaline::NdArray img(kit::DType::uint8, {480, 640, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = 0; y < 480; ++y) {
    for (size_t x = 0; x < 640; ++x) {
      uint8_t* px = p + (y * 640 + x) * 3;
      if (y < 40) {
        const uint8_t v = (counter >> (x / 40)) & 1 ? 255 : 0;
        px[0] = px[1] = px[2] = v;
      } else {  // moving texture, so the encoder has real work
        px[0] = static_cast<uint8_t>(x + counter * 3);
        px[1] = static_cast<uint8_t>(y * 2 + counter);
        px[2] = static_cast<uint8_t>((x ^ y) + counter);
      }
    }
  }
  return img;
}

// A session recorded beside the stream, on a thread of its own: frames
// staged at 30 frames/s in episodes of 30 s, encoded live when asked.
class Recording {
 public:
  Recording(const std::filesystem::path& dir, bool live, const bench::CameraPictures& pictures)
      : store_(dir), thread_([this, dir, live, &pictures] {
          std::optional<studio::LiveEncoder> encoder;
          if (live) {
            encoder.emplace(studio::LiveEncoderOptions{dir, "av1"});
            store_.listen(*encoder);
          }
          const auto start = std::chrono::steady_clock::now();
          for (long i = 0; running_; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / 30));
            bench::stage_frame(store_, i, 30, pictures);
            if ((i + 1) % 900 == 0) store_.end_episode("bench");
          }
          store_.end_episode("bench");
        }) {}
  ~Recording() {
    running_ = false;
    thread_.join();
  }

 private:
  studio::FrameStore store_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const bool loaded = argc > 2 && std::string(argv[2]) == "loaded";
  const bool encoding = argc > 2 && std::string(argv[2]) == "encoding";
  const int streamed = encoding ? 2 * seconds : seconds;
  std::atomic<bool> hogging{loaded};
  std::vector<std::thread> hogs;
  for (int i = 0; loaded && i < 2; ++i) {
    hogs.emplace_back([&hogging] {
      volatile unsigned long spin = 0;
      while (hogging.load(std::memory_order_relaxed)) spin = spin + 1;
    });
  }
  struct StopHogs {
    std::atomic<bool>& flag;
    std::vector<std::thread>& threads;
    ~StopHogs() {
      flag = false;
      for (auto& t : threads) t.join();
    }
  } stop_hogs{hogging, hogs};
  // The page needs the test suite's npm packages (headless Chromium's driver).
  const char* given = std::getenv("TESSALINE_NODE_DIR");
  const std::filesystem::path node_dir = std::filesystem::absolute(given ? given : BENCH_DIR "/../tests/node");
  if (!std::filesystem::exists(node_dir / "node_modules" / "playwright-core")) {
    std::fprintf(stderr, "webrtc_stream: no playwright-core under %s/node_modules: run ./scripts/setup (or set TESSALINE_NODE_DIR)\n",
                 node_dir.c_str());
    return 1;
  }
  setenv("TESSALINE_NODE_DIR", node_dir.c_str(), 1);
  const auto dir = std::filesystem::temp_directory_path() / "webrtc-stream-bench";
  studio::Studio server(studio::StudioOptions::on_loopback(dir));
  kit::EventLoop loop;
  tessaline::WebRTCStreamer streamer(server.http_url(), nullptr, "bench");
  const std::string camera = "observation.images.cam_front";

  test_support::ProcessResult page;
  std::thread browser([&] {
    page = test_support::run_process({NODE_EXECUTABLE, std::string(BENCH_DIR) + "/webrtc_stream_page.mjs", server.http_url(),
                                      "bench", std::to_string(streamed + 4)});
  });
  try {
    loop.run_blocking(streamer.connect({camera}), 60s);
  } catch (const std::exception& e) {
    browser.join();
    std::fprintf(stderr, "webrtc_stream: the browser page never connected (%s): %s%s\n", e.what(), page.out.c_str(),
                 page.err.c_str());
    return 1;
  }
  for (int i = 0; i < 300 && !streamer.is_connected(); ++i) std::this_thread::sleep_for(100ms);

  std::map<int, int64_t> sent;  // counter → wall ms when handed to the track
  // counter → sent while the session beside was staged only (0) or encoded
  // live (1); the first 2 s after each start are left out (-1).
  std::map<int, int> phase;
  int phase_start = 1;
  double cpu_switch = 0, elapsed_switch = 0;  // process CPU and wall seconds when live encoding began
  const auto pictures = encoding ? bench::camera_pictures(300) : bench::CameraPictures{};
  std::optional<Recording> recording;
  bool live = false;
  if (encoding) recording.emplace(dir / "staged-after", false, pictures);
  const double cpu0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  auto next = t0;
  int counter = 1;
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(streamed + 2)) {
    if (encoding && !live && std::chrono::steady_clock::now() - t0 >= std::chrono::seconds(seconds + 1)) {
      recording.reset();
      cpu_switch = cpu_seconds() - cpu0;
      elapsed_switch = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      recording.emplace(dir / "staged-live", true, pictures);
      live = true;
      phase_start = counter;
    }
    phase[counter] = counter - phase_start < 60 ? -1 : live;
    auto frame = counter_frame(counter);  // drawn before the stamp: drawing is the camera's time
    sent[counter] = wall_ms();
    streamer.update_camera_frame(camera, std::move(frame));
    ++counter;
    next += 33333us;
    std::this_thread::sleep_until(next);
  }
  const double cpu = cpu_seconds() - cpu0;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  recording.reset();
  browser.join();
  loop.run_blocking(streamer.close(), 10s);

  std::vector<double> delays, delays_live;
  try {
    const auto seen = tessaline::Json::parse(page.out.substr(page.out.find('{')));
    for (const auto& [key, when] : seen.items()) {
      const int n = std::stoi(key);
      const auto it = sent.find(n);
      if (it == sent.end() || (encoding && phase[n] < 0)) continue;
      (phase[n] == 1 ? delays_live : delays).push_back(static_cast<double>(when.get<int64_t>() - it->second));
    }
  } catch (const std::exception&) {
    std::fprintf(stderr, "the page reported nothing usable: %s%s\n", page.out.c_str(), page.err.c_str());
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  std::sort(delays_live.begin(), delays_live.end());
  const auto pct_of = [](const std::vector<double>& d, double p) { return d.empty() ? 0.0 : d[static_cast<size_t>(p * (d.size() - 1))]; };
  const auto pct = [&](double p) { return pct_of(delays, p); };
  std::printf("one 640x480 VP8 track at 30 frames/s for %.1f s, frame drawing included\n", elapsed);
  std::printf("streamer process CPU: %.1f %% of one core (drawing test frames alone: see below)\n", 100 * cpu / elapsed);
  const double d0 = cpu_seconds();
  for (int i = 0; i < 90; ++i) (void)counter_frame(i);
  std::printf("drawing the test frames: %.1f %% of one core at 30 frames/s\n", 100 * (cpu_seconds() - d0) / 3.0);
  std::printf("glass-to-glass delay over %zu frames: p50 %.0f ms, p90 %.0f ms, max %.0f ms\n", delays.size(), pct(0.5),
              pct(0.9), pct(1.0));
  if (encoding) {
    const double without = pct(0.9), with = pct_of(delays_live, 0.9);
    std::printf("a session recorded beside it: p90 %.0f ms staged only (%zu frames), %.0f ms encoded live (%zu frames, p50 %.0f)\n",
                without, delays.size(), with, delays_live.size(), pct_of(delays_live, 0.5));
    std::printf("process CPU: %.0f %% of one core staged only, %.0f %% encoded live\n", 100 * cpu_switch / elapsed_switch,
                100 * (cpu - cpu_switch) / (elapsed - elapsed_switch));
    bench::report("glass to glass p90, live encoding / staging only", bench::format("%.2f", with / std::max(without, 1.0)),
                  "<= 1.10", with <= 1.1 * without);
  } else if (loaded) {
    bench::report("glass to glass p90, both cores busy (ms)", bench::format("%.0f", pct(0.9)), "< 60", pct(0.9) < 60);
  } else {
    bench::report("glass to glass p90, quiet (ms)", bench::format("%.0f", pct(0.9)), "< 35", pct(0.9) < 35);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
