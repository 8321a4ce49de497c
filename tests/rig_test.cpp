// tessaline-rig as a user runs it: its manifest leads to servo buses that a
// scan finds and to virtual cameras that show the follower; stopping it
// removes everything it made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/cameras/camera.hpp"
#include "kit/json/text.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

kit::json::Json wait_for_manifest(const fs::path& path) {
  for (int i = 0; i < 100 && !fs::exists(path); ++i) std::this_thread::sleep_for(50ms);
  std::ifstream in(path);
  return kit::json::Json::parse(in);
}

TEST(Rig, PublishesScannableBusesAndLiveCamerasAndCleansUp) {
  const fs::path manifest = fs::temp_directory_path() / ("rig-" + std::to_string(getpid()) + ".json");
  test_support::BackgroundProcess rig({test_support::built_program("tessaline-rig"), "--robot", "koch", "--cameras",
                                       "1", "--manifest", manifest.string()});
  const auto doc = wait_for_manifest(manifest);
  ASSERT_EQ(doc["ports"].size(), 2u);
  EXPECT_EQ(doc["ports"][0]["vid"], 0x0403);
  EXPECT_EQ(doc["ports"][1]["serial_number"], "RIG-koch-follower");
  const std::string follower = doc["ports"][1]["device"];
  EXPECT_EQ(armkit::DynamixelMotorsBus::scan_port(follower),
            (std::map<int, std::vector<int>>{{1'000'000, {1, 2, 3, 4, 5, 6}}}));
  EXPECT_TRUE(armkit::FeetechMotorsBus::scan_port(follower).empty());

  const auto& cam = doc["cameras"][0];
  armkit::Camera camera({cam["index_or_path"], cam["width"], cam["height"], cam["fps"]});
  camera.connect();
  for (int i = 0; i < 100 && camera.frames_read() < 3; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(camera.read_latest().shape(), (std::vector<size_t>{480, 640, 3}));
  camera.disconnect();

  EXPECT_EQ(rig.stop(), 0);
  EXPECT_FALSE(fs::exists(manifest));
  EXPECT_FALSE(fs::exists(follower));
}

}  // namespace
