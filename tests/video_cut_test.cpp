// A camera's video file without one episode: its packets copied where the
// cut ends before a key frame, decoded and encoded again where it does not
// (older files), or on demand; either way every kept frame is where the
// tables say.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "kit/video/mp4_joiner.hpp"
#include "kit/video/mp4_reader.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/video_cut.hpp"
#include "tests/support/video_frames.hpp"

namespace {

namespace fs = std::filesystem;

fs::path temp(const std::string& name) { return fs::temp_directory_path() / (name + "-" + std::to_string(getpid()) + ".mp4"); }

// Grey frames, each a shade of its own (shade + 12 k), a key frame every `gop`.
fs::path grey_video(const std::string& name, int frames, int shade, int gop) {
  const fs::path path = temp(name);
  kit::video::Mp4Writer writer(path, {.width = 64, .height = 64, .fps = 30, .gop = gop});
  for (int k = 0; k < frames; ++k) {
    const std::vector<uint8_t> rgb(64 * 64 * 3, static_cast<uint8_t>(shade + 12 * k));
    writer.add_rgb(rgb.data(), 64 * 3);
  }
  writer.close();
  return path;
}

using test_support::luma_of;

std::string bytes_of(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double mean(const std::vector<uint8_t>& plane) { return std::accumulate(plane.begin(), plane.end(), 0.0) / plane.size(); }

const kit::json::Json kFeatureInfo = {{"video.codec", "av1"}, {"video.g", 2}, {"video.crf", 30}};

TEST(VideoCut, CopiesWhereTheCutEndsBeforeAKeyFrameElseEncodesAgainKeepingEveryFrameInPlace) {
  const fs::path first = grey_video("cut-first", 6, 20, 2), second = grey_video("cut-second", 5, 120, 2);
  const fs::path joined = temp("cut-joined"), copied = temp("cut-copied"), encoded = temp("cut-encoded");
  {
    kit::video::Mp4Joiner join(joined, 30);
    join.append(first);
    join.append(second);
    join.close();
  }
  // The first episode out: the second starts on a key frame, so its packets are copied, every level as it was.
  studio::cut_video(joined, copied, 0, 6, kFeatureInfo, 30);
  EXPECT_EQ(luma_of(copied), luma_of(second));
  // The same cut encoded again: the same frames in the same places, close to what they were.
  studio::cut_video(joined, encoded, 0, 6, kFeatureInfo, 30, studio::CutBy::encoding);
  const auto again = luma_of(encoded), kept = luma_of(second);
  ASSERT_EQ(again.size(), kept.size());
  for (size_t k = 0; k < kept.size(); ++k) EXPECT_NEAR(mean(again[k]), mean(kept[k]), 3.0) << "frame " << k;
  EXPECT_NE(bytes_of(encoded), bytes_of(copied)) << "asked to encode again, the packets were copied";

  // An older file with one key frame for all: a cut inside it cannot be
  // copied, so it is encoded again, and the frames after it move up.
  const fs::path old = grey_video("cut-old", 12, 20, 12), cut = temp("cut-old-cut");
  ASSERT_FALSE(kit::video::Mp4Joiner::cuts_cleanly(old, 3, 4));
  studio::cut_video(old, cut, 3, 4, kFeatureInfo, 30);
  const auto before = luma_of(old), after = luma_of(cut);
  ASSERT_EQ(after.size(), 8u);
  for (size_t k = 0; k < after.size(); ++k) {
    EXPECT_NEAR(mean(after[k]), mean(before[k < 3 ? k : k + 4]), 3.0) << "frame " << k;
  }
  for (const auto& p : {first, second, joined, copied, encoded, old, cut}) fs::remove(p);
}

}  // namespace
