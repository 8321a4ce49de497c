// Export speed: an episode of two 640×480 cameras at 30 frames/s, staged as
// the studio stages frames, exported to the dataset layout (AV1 video,
// Parquet tables, statistics). Prints seconds of video exported per second
// of wall time against the goal of 2 (twice real time) and the peak RSS.
//   export [SECONDS_OF_VIDEO]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench/report.hpp"
#include "kit/flight/array.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio/exporter.hpp"
#include "studio/frame_store.hpp"

namespace {

namespace fl = kit::flight;

// A moving picture, so the encoder has real work to do.
std::string jpeg_frame(int frame, int camera) {
  constexpr int w = 640, h = 480;
  std::vector<uint8_t> rgb(w * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(x + frame * 3);
      p[1] = static_cast<uint8_t>(y * 2 - frame);
      p[2] = static_cast<uint8_t>(camera * 90 + ((x / 40 + y / 40 + frame / 10) % 2) * 60);
    }
  }
  return kit::jpeg::encode_rgb(rgb.data(), w, h);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  constexpr int fps = 30;
  const int frames = static_cast<int>(seconds * fps);
  const auto dir = std::filesystem::temp_directory_path() / ("export-bench-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  {
    studio::FrameStore store(dir);
    for (int i = 0; i < frames; ++i) {
      std::vector<std::pair<std::string, fl::ArrayPtr>> cols = {
          {"timestamp", fl::MakeFloat64Array({i / double(fps)})},
          {"action", fl::MakeFloat64ListArray({std::vector<double>(6, i * 0.1)})},
          {"episode_end", fl::MakeBoolArray({i + 1 == frames})},
          {"user_id", fl::MakeStringArray({"bench"})},
          {"fps", fl::MakeFloat64Array({double(fps)})},
          {"robot_type", fl::MakeStringArray({"so101_follower"})},
          {"observation.images.cam_front", fl::MakeBinaryArray({jpeg_frame(i, 0)})},
          {"observation.images.cam_wrist", fl::MakeBinaryArray({jpeg_frame(i, 1)})},
          {"state", fl::MakeFloat64ListArray({std::vector<double>(6, i * 0.2)})}};
      store.add_batch(fl::RecordBatch::FromNamedArrays(std::move(cols)));
    }
    store.end_episode("bench");
    const auto job = store.take_for_export("bench");
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = std::chrono::steady_clock::now();
    const auto result = studio::export_dataset(*job, dir, {"bench", "bench/set", std::nullopt, std::nullopt, "av1"});
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double speed = seconds / wall;
    std::printf("export: %ld frames (%.0f s of two 640x480 cameras) in %.2f s: %.2f s of video per second "
                "(goal >= 2.00, ratio %.2f); peak RSS %.0f MiB\n",
                result.frames_added, seconds, wall, speed, speed / 2.0, after.ru_maxrss / 1024.0);
    bench::report("export, " + bench::format("%.0f", seconds) + " s of 2 cameras: video s per wall s",
                  bench::format("%.2f", speed), ">= 2.00", speed >= 2.0);
    bench::report("export peak RSS (MiB)", bench::format("%.0f", after.ru_maxrss / 1024.0), "level with length", true);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
