// Writers that fail or are dropped half-way must give their encoder back:
// an encoder freed with frames inside can block its owner for ever (the
// suite's time limit catches that).
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>
#include <vector>

#include "kit/video/mp4_writer.hpp"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
