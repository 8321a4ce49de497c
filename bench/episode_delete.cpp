// Deleting one episode from a long video file: the kept episodes' packets
// copied (episodes start on a key frame) against the same cut decoded and
// encoded again, as older files need, in the same run. One 640×480 camera
// at 30 frames/s in episodes of 30 s; the middle episode goes.
//   episode_delete [MINUTES]   (10 by default)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/moving_pictures.hpp"
#include "bench/report.hpp"
#include "kit/video/mp4_joiner.hpp"
#include "kit/video/mp4_reader.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/video_cut.hpp"

namespace {

namespace fs = std::filesystem;
constexpr int kFps = 30;
constexpr long kEpisodeFrames = 30L * kFps;
constexpr int kDistinctEpisodes = 4;  // encoded once each, then joined over and over

kit::video::VideoOptions camera_options() {
  kit::video::VideoOptions options;
  options.width = bench::kMovingWidth;
  options.height = bench::kMovingHeight;
  options.fps = kFps;
  return options;
}

fs::path encode_episode(const fs::path& dir, int n) {
  const auto path = dir / ("episode-" + std::to_string(n) + ".mp4");
  kit::video::Mp4Writer writer(path, camera_options());
  for (long k = 0; k < kEpisodeFrames; ++k) {
    const auto rgb = bench::moving_rgb(static_cast<int>(n * kEpisodeFrames + k), n);
    writer.add_rgb(rgb.data(), bench::kMovingWidth * 3);
  }
  writer.close();
  return path;
}

long frames_in(const fs::path& video) {
  kit::video::Mp4Reader reader(video);
  kit::video::Yuv420Frame frame;
  long n = 0;
  while (reader.next(frame)) ++n;
  return n;
}

double seconds_of(const std::function<void()>& work) {
  const auto t0 = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  const long episodes = std::max(3L, std::lround(minutes * 2));
  const double file_minutes = episodes * kEpisodeFrames / (60.0 * kFps);
  const auto dir = fs::temp_directory_path() / ("episode-delete-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  try {
    std::vector<fs::path> parts;
    for (int n = 0; n < kDistinctEpisodes; ++n) parts.push_back(encode_episode(dir, n));
    const auto file = dir / "file-000.mp4";
    {
      kit::video::Mp4Joiner joiner(file, kFps);
      for (long e = 0; e < episodes; ++e) joiner.append(parts[e % kDistinctEpisodes]);
      joiner.close();
    }
    const long gone = episodes / 2;
    const kit::json::Json feature_info = {{"video.codec", "av1"}, {"video.g", 2}, {"video.crf", 30}};
    const auto copied = dir / "copied.mp4", encoded = dir / "encoded.mp4";
    const double copy_s = seconds_of([&] {
      studio::cut_video(file, copied, gone * kEpisodeFrames, kEpisodeFrames, feature_info, kFps, studio::CutBy::copying_when_clean);
    });
    const double encode_s = seconds_of([&] {
      studio::cut_video(file, encoded, gone * kEpisodeFrames, kEpisodeFrames, feature_info, kFps, studio::CutBy::encoding);
    });
    const long expected = (episodes - 1) * kEpisodeFrames;
    const long copied_frames = frames_in(copied), encoded_frames = frames_in(encoded);
    std::printf("delete of episode %ld of %ld (%.1f min, %.1f MiB file): copy %.2f s (%ld frames), encode again %.2f s "
                "(%ld frames; %ld expected): copy takes %.4f of the encoding's time\n",
                gone, episodes, file_minutes, fs::file_size(file) / 1048576.0, copy_s, copied_frames, encode_s, encoded_frames,
                expected, copy_s / encode_s);
    const bool whole = copied_frames == expected && encoded_frames == expected;
    bench::report("delete of 1 episode from a " + bench::format("%.1f", file_minutes) + "-minute file: copy s / encode-again s",
                  bench::format("%.4f", copy_s / encode_s), "<= 0.05, frames kept whole", whole && copy_s <= 0.05 * encode_s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "episode_delete: %s\n", e.what());
    fs::remove_all(dir);
    return 1;
  }
  fs::remove_all(dir);
  return 0;
}
