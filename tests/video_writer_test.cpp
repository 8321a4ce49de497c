// Colours survive both ways into a video (RGB, and a JPEG's own planes);
// writers that fail or are dropped half-way must give their encoder back:
// an encoder freed with frames inside can block its owner for ever (the
// suite's time limit catches that).
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <array>
#include <map>
#include <thread>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "kit/jpeg/jpeg.hpp"
#include "kit/video/mp4_joiner.hpp"
#include "kit/video/mp4_reader.hpp"
#include "kit/video/mp4_writer.hpp"
#include "tests/support/process.hpp"
#include "tests/support/video_frames.hpp"

namespace {

namespace fs = std::filesystem;

// Flat colours from black to white through both ways in, decoded by
// ffmpeg: the JPEG planes' full range must land where the RGB conversion
// puts it, or extremes and mid-tones shift.
TEST(VideoWriter, JpegPlanesAndRgbGiveTheColoursBack) {
  const std::vector<std::array<uint8_t, 3>> colours = {{0, 0, 0}, {255, 255, 255}, {200, 30, 30}, {128, 128, 128}, {20, 40, 160}};
  constexpr int kSide = 64;
  const fs::path rgb_path = fs::temp_directory_path() / ("colours-rgb-" + std::to_string(getpid()) + ".mp4");
  const fs::path yuv_path = fs::temp_directory_path() / ("colours-yuv-" + std::to_string(getpid()) + ".mp4");
  {
    kit::video::Mp4Writer via_rgb(rgb_path, {.width = kSide, .height = kSide, .fps = 30});
    kit::video::Mp4Writer via_jpeg(yuv_path, {.width = kSide, .height = kSide, .fps = 30});
    kit::jpeg::Yuv420Image yuv;
    for (const auto& c : colours) {
      std::vector<uint8_t> rgb(kSide * kSide * 3);
      for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = c[i % 3];
      via_rgb.add_rgb(rgb.data(), kSide * 3);
      ASSERT_TRUE(kit::jpeg::decode_yuv420(kit::jpeg::encode_rgb(rgb.data(), kSide, kSide), yuv));
      const uint8_t* planes[3] = {yuv.y.data(), yuv.cb.data(), yuv.cr.data()};
      const int strides[3] = {yuv.y_stride, yuv.c_stride, yuv.c_stride};
      via_jpeg.add_jpeg_yuv420(planes, strides);
    }
    via_rgb.close();
    via_jpeg.close();
  }
  for (const auto& path : {rgb_path, yuv_path}) {
    const auto raw = test_support::run_process(
        {"/usr/bin/ffmpeg", "-v", "error", "-i", path.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(raw.out.size(), colours.size() * kSide * kSide * 3) << path << raw.err;
    for (size_t f = 0; f < colours.size(); ++f) {
      const size_t centre = (f * kSide * kSide + (kSide / 2) * kSide + kSide / 2) * 3;
      for (int ch = 0; ch < 3; ++ch) {
        EXPECT_NEAR(static_cast<uint8_t>(raw.out[centre + ch]), colours[f][ch], 6) << path << " colour " << f << " channel " << ch;
      }
    }
    fs::remove(path);
  }
}

// A camera smaller than the encoder takes is scaled up, keeping its shape,
// both ways in: every corner of the video shows the picture, no black band.
TEST(VideoWriter, APictureUnderTheSmallestSizeIsScaledUpNotFilled) {
  using kit::video::encodable_size;
  EXPECT_EQ(encodable_size(64, 48), (std::pair{86, 64}));
  EXPECT_EQ(encodable_size(32, 32), (std::pair{64, 64}));
  EXPECT_EQ(encodable_size(48, 160), (std::pair{64, 214}));
  EXPECT_EQ(encodable_size(641, 481), (std::pair{640, 480}));
  EXPECT_THROW(encodable_size(0, 48), kit::video::VideoError);
  constexpr int kWidth = 64, kHeight = 48;
  const auto [width, height] = encodable_size(kWidth, kHeight);
  const std::array<uint8_t, 3> colour{200, 30, 30};
  std::vector<uint8_t> rgb(kWidth * kHeight * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = colour[i % 3];
  kit::jpeg::Yuv420Image yuv;
  ASSERT_TRUE(kit::jpeg::decode_yuv420(kit::jpeg::encode_rgb(rgb.data(), kWidth, kHeight), yuv));
  for (const bool planes_in : {false, true}) {
    const fs::path path = fs::temp_directory_path() / ("tiny-" + std::to_string(planes_in) + "-" + std::to_string(getpid()) + ".mp4");
    {
      kit::video::Mp4Writer writer(path, {.width = width, .height = height, .fps = 30});
      for (int i = 0; i < 3; ++i) {
        if (planes_in) {
          const uint8_t* planes[3] = {yuv.y.data(), yuv.cb.data(), yuv.cr.data()};
          const int strides[3] = {yuv.y_stride, yuv.c_stride, yuv.c_stride};
          writer.add_jpeg_yuv420(planes, strides, kWidth, kHeight);
        } else {
          writer.add_rgb(rgb.data(), kWidth * 3, kWidth, kHeight);
        }
      }
      writer.close();
    }
    const auto raw = test_support::run_process(
        {"/usr/bin/ffmpeg", "-v", "error", "-i", path.string(), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(raw.out.size(), static_cast<size_t>(width * height * 3)) << raw.err;
    for (const auto& [x, y] : {std::pair{2, 2}, std::pair{width - 3, 2}, std::pair{2, height - 3}, std::pair{width - 3, height - 3}}) {
      const size_t at = (static_cast<size_t>(y) * width + x) * 3;
      for (int ch = 0; ch < 3; ++ch) {
        EXPECT_NEAR(static_cast<uint8_t>(raw.out[at + ch]), colour[ch], 12) << (planes_in ? "planes" : "rgb") << " at " << x << "," << y;
      }
    }
    fs::remove(path);
  }
}

TEST(VideoWriter, AFileThatCannotBeCreatedIsAnErrorNamingIt) {
  for (const char* codec : {"av1", "h264"}) {
    try {
      kit::video::Mp4Writer writer("/nonexistent-dir/out.mp4", {.width = 64, .height = 64, .fps = 30, .codec = codec});
      ADD_FAILURE() << codec << ": opened a file in a missing folder";
    } catch (const kit::video::VideoError& e) {
      EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/out.mp4"), std::string::npos) << e.what();
    }
  }
}

TEST(VideoWriter, AWriterDroppedMidFileReturns) {
  const fs::path path = fs::temp_directory_path() / ("dropped-" + std::to_string(getpid()) + ".mp4");
  {
    kit::video::Mp4Writer writer(path, {.width = 64, .height = 64, .fps = 30});
    const std::vector<uint8_t> grey(64 * 64 * 3, 128);
    for (int i = 0; i < 5; ++i) writer.add_rgb(grey.data(), 64 * 3);
  }
  EXPECT_TRUE(fs::exists(path));
  for (const char* codec : {"av1", "h264"}) {
    kit::video::Mp4Writer writer(path, {.width = 64, .height = 64, .fps = 30, .codec = codec});
    writer.close();  // before a single frame
    EXPECT_EQ(writer.frames(), 0);
  }
  fs::remove(path);
}

fs::path grey_video(const std::string& name, int frames, int width, int shade) {
  const fs::path path = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()) + ".mp4");
  kit::video::Mp4Writer writer(path, {.width = width, .height = 64, .fps = 30});
  for (int i = 0; i < frames; ++i) {
    const std::vector<uint8_t> rgb(static_cast<size_t>(width) * 64 * 3, static_cast<uint8_t>(shade + 9 * i));
    writer.add_rgb(rgb.data(), width * 3);
  }
  writer.close();
  return path;
}

using test_support::luma_of;

// Episodes' own videos joined into one file by copying their packets, and
// one left out again: the frames are the parts' own, in order; a part
// encoded otherwise is refused, never mixed in.
TEST(VideoJoiner, PartsJoinFrameForFrameAndACutAtAKeyFrameCopiesTheRest) {
  const fs::path first = grey_video("part-a", 4, 64, 40), second = grey_video("part-b", 3, 64, 140),
                 wider = grey_video("part-c", 2, 128, 90);
  const fs::path joined = fs::temp_directory_path() / ("joined-" + std::to_string(getpid()) + ".mp4");
  const fs::path cut = fs::temp_directory_path() / ("cut-" + std::to_string(getpid()) + ".mp4");
  {
    kit::video::Mp4Joiner join(joined, 30);
    EXPECT_EQ(join.append(first), 4);
    EXPECT_TRUE(join.takes(second));
    EXPECT_FALSE(join.takes(wider));
    EXPECT_THROW(join.append(wider), kit::video::VideoError);
    EXPECT_EQ(join.append(second), 3);
    join.close();
  }
  auto want = luma_of(first);
  for (auto& f : luma_of(second)) want.push_back(f);
  EXPECT_EQ(luma_of(joined), want);
  ASSERT_TRUE(kit::video::Mp4Joiner::cuts_cleanly(joined, 0, 4));  // the second part starts on a key frame
  {
    kit::video::Mp4Joiner copy(cut, 30);
    EXPECT_EQ(copy.append(joined, 0, 4), 3);
    copy.close();
  }
  EXPECT_EQ(luma_of(cut), luma_of(second));
  for (const auto& p : {first, second, wider, joined, cut}) fs::remove(p);
}

// The scheduling of every thread of this process, by id.
std::map<pid_t, int> thread_policies() {
  std::map<pid_t, int> policies;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) {
    const auto id = static_cast<pid_t>(std::stoi(e.path().filename().string()));
    policies[id] = sched_getscheduler(id);
  }
  return policies;
}

// An encoder runs at the priority of the thread that opens it: never real
// time (the AV1 encoder raises itself there when run as root, and starved
// the robot's loop), and idle when opened on an idle thread, as the
// encoding while recording does.
TEST(VideoWriter, AnEncoderRunsAtItsOpenersPriorityNeverRealTime) {
  const fs::path path = fs::temp_directory_path() / ("priority-" + std::to_string(getpid()) + ".mp4");
  for (const int opener : {SCHED_OTHER, SCHED_IDLE}) {
    for (const char* codec : {"av1", "h264"}) {
      std::thread open([&] {
        sched_param none{};
        ASSERT_EQ(pthread_setschedparam(pthread_self(), opener, &none), 0);
        const auto before = thread_policies();
        kit::video::Mp4Writer writer(path, {.width = 64, .height = 64, .fps = 30, .codec = codec, .threads = 2});
        EXPECT_EQ(sched_getscheduler(0), opener) << codec;
        for (const auto& [id, policy] : thread_policies()) {
          EXPECT_NE(policy, SCHED_FIFO) << codec << " thread " << id;
          EXPECT_NE(policy, SCHED_RR) << codec << " thread " << id;
          if (!before.count(id)) {
            EXPECT_EQ(policy, opener) << codec << ": a thread of the encoder";
          }
        }
        const std::vector<uint8_t> grey(64 * 64 * 3, 128);
        writer.add_rgb(grey.data(), 64 * 3);
        writer.close();
      });
      open.join();
    }
  }
  fs::remove(path);
}

}  // namespace
