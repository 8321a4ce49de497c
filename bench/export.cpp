// Export speed: an episode of two 640×480 cameras at 30 frames/s, staged as
// the studio stages frames, exported to the dataset layout (AV1 video,
// Parquet tables, statistics). Prints seconds of video exported per second
// of wall time against the goal of 2 (twice real time) and the peak RSS; and,
// since that goal is the machine's as much as ours, the export's speed
// against the bare work of the same run: the same pictures decoded and
// encoded by two writers side by side, nothing else.
//   export [SECONDS_OF_VIDEO]
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/moving_pictures.hpp"
#include "bench/report.hpp"
#include "kit/flight/array.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/live/frame_store.hpp"

namespace {

namespace fl = kit::flight;

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  constexpr int fps = 30;
  const int frames = static_cast<int>(seconds * fps);
  const auto dir = std::filesystem::temp_directory_path() / ("export-bench-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  double export_wall = 0;
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
          {"observation.images.cam_front", fl::MakeBinaryArray({bench::moving_jpeg(i, 0)})},
          {"observation.images.cam_wrist", fl::MakeBinaryArray({bench::moving_jpeg(i, 1)})},
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
    export_wall = wall;
    std::printf("export: %ld frames (%.0f s of two 640x480 cameras) in %.2f s: %.2f s of video per second "
                "(goal >= 2.00, ratio %.2f); peak RSS %.0f MiB\n",
                result.frames_added, seconds, wall, speed, speed / 2.0, after.ru_maxrss / 1024.0);
    bench::report("export, " + bench::format("%.0f", seconds) + " s of 2 cameras: video s per wall s",
                  bench::format("%.2f", speed), ">= 2.00", speed >= 2.0);
    bench::report("export peak RSS (MiB)", bench::format("%.0f", after.ru_maxrss / 1024.0), "level with length", true);
  }
  std::filesystem::remove_all(dir);

  // The limit: each camera's pictures decoded and encoded on its own thread
  // (made again here, so they were not in memory during the export).
  std::vector<std::array<std::string, 2>> pictures;
  for (int i = 0; i < frames; ++i) pictures.push_back({bench::moving_jpeg(i, 0), bench::moving_jpeg(i, 1)});
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> encoders;
  for (int camera = 0; camera < 2; ++camera) {
    encoders.emplace_back([&, camera] {
      kit::video::VideoOptions options{.width = 640, .height = 480, .fps = fps};
      options.threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency() / 2));
      const auto path = std::filesystem::temp_directory_path() /
                        ("export-bench-" + std::to_string(getpid()) + "-" + std::to_string(camera) + ".mp4");
      kit::video::Mp4Writer video(path, options);
      kit::jpeg::Yuv420Image yuv;
      for (const auto& p : pictures) {
        kit::jpeg::decode_yuv420(p[static_cast<size_t>(camera)], yuv);
        const uint8_t* planes[3] = {yuv.y.data(), yuv.cb.data(), yuv.cr.data()};
        const int strides[3] = {yuv.y_stride, yuv.c_stride, yuv.c_stride};
        video.add_jpeg_yuv420(planes, strides);
      }
      video.close();
      std::filesystem::remove(path);
    });
  }
  for (auto& t : encoders) t.join();
  const double bare_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("the same pictures decoded and encoded alone: %.2f s, %.2f s of video per second; export/bare %.2f\n",
              bare_wall, seconds / bare_wall, bare_wall / export_wall);
  bench::report("export vs bare decode+encode of the same pictures", bench::format("%.2f", bare_wall / export_wall),
                ">= 0.90", bare_wall / export_wall >= 0.9);
  return 0;
}
