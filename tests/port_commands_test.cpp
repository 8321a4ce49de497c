// Camera probing (the rig's virtual cameras) and the configure / show-config
// dialogues, over simulated arms and real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "armkit/sim/arm_sim.hpp"
#include "armkit/sim/frame_file.hpp"
#include "cli/cameras.hpp"
#include "cli/port_commands.hpp"
#include "tessaline/config.hpp"
#include "tests/support/process.hpp"
#include "tests/support/workshop.hpp"

namespace {

using namespace tessaline::ports;
namespace fs = std::filesystem;
using kit::json::Json;

using test_support::Workshop;

TEST_F(Workshop, VirtualCamerasAreFoundNamedAndGivenAUsableRate) {
  armkit::FrameFileWriter drawn((home_ / "front").string(), 32, 24);
  drawn.write(kit::NdArray(kit::DType::uint8, {24, 32, 3}));
  armkit::FrameFileWriter blank((home_ / "dead").string(), 32, 24);  // opens, but no frame ever
  write_manifest({}, Json::array({{{"name", "front"}, {"index_or_path", "virtual:" + (home_ / "front").string()}, {"fps", 5}},
                                  {{"name", "dead"}, {"index_or_path", "virtual:" + (home_ / "dead").string()}}}));
  testing::internal::CaptureStdout();
  const auto configs = tessaline::cameras::detect_camera_configs(0);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(configs);
  ASSERT_EQ(configs->size(), 1u);
  const Json& front = (*configs)["front"];
  EXPECT_EQ(kit::json::to_wire(front), R"({"type": "opencv", "index_or_path": "virtual:)" + (home_ / "front").string() +
                                           R"(", "width": 32, "height": 24, "fps": 10})");
  EXPECT_NE(out.find("Detected 1 camera(s): idx=virtual:"), std::string::npos) << out;
  write_manifest({});
  EXPECT_FALSE(tessaline::cameras::detect_camera_configs(0));
}

TEST_F(Workshop, ConfigureWithSeveralPortsSavesTheChosenOne) {
  armkit::SimulatedArm a("so101_follower"), b("so101_leader");
  write_manifest({&a, &b});
  std::istringstream answers("9\n2\n");
  testing::internal::CaptureStdout();
  const auto saved = interactive_port_selection("my_follower", std::string("feetech"), answers);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(saved);
  EXPECT_NE(out.find("Multiple ports found. Select one:"), std::string::npos);
  EXPECT_NE(out.find("  [0] Cancel"), std::string::npos);
  EXPECT_NE(out.find("(6 motors)"), std::string::npos);
  // The hint names the command as it was started (here, not from a path: "tessaline").
  EXPECT_NE(out.find("Saved! You can now use: tessaline capture --robot.id=my_follower"), std::string::npos) << out;
  EXPECT_EQ(saved->motor_count, 6);
  EXPECT_EQ(load_port_config("my_follower")->port, saved->port);
}

TEST_F(Workshop, ConfigureWithOnePortAsksToConfirm) {
  armkit::SimulatedArm a("koch_follower");
  write_manifest({&a});
  std::istringstream no("n\n");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(interactive_port_selection("arm", std::nullopt, no));
  EXPECT_FALSE(fs::exists(home_ / "tessaline/ports.json"));
  std::istringstream yes("\n");
  const auto saved = interactive_port_selection("arm", std::nullopt, yes);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->serial_number, "S0");
  EXPECT_NE(out.find("Found one port: " + a.port()), std::string::npos);
}

TEST_F(Workshop, ShowConfigGivesLiveStatus) {
  armkit::SimulatedArm a("so101_follower");
  write_manifest({&a});
  save_port_config("here", {a.port(), "S0", "bus 0", 6});
  save_port_config("moved", {"/dev/ttyOLD", "S0", "", 0});
  save_port_config("gone", {"/dev/ttyNONE", "S9", std::nullopt, std::nullopt});
  testing::internal::CaptureStdout();
  show_saved_configs();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Note: moved moved from /dev/ttyOLD to " + a.port()), std::string::npos) << out;
  EXPECT_NE(out.find("Saved Port Configurations"), std::string::npos);
  EXPECT_NE(out.find("NOT FOUND"), std::string::npos);
  EXPECT_NE(out.find("/dev/ttyOLD"), std::string::npos);  // the listing shows what was loaded
  EXPECT_EQ(load_port_config("moved")->port, a.port());
}

TEST_F(Workshop, CommandsAsUsersRunThem) {
  test_support::ProcessOptions opts;
  opts.set_env = {{"HF_LEROBOT_HOME", home_.string()}, {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"},
                  {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()}, {"COLUMNS", "120"}};
  write_manifest({});
  const auto show = test_support::run_process({test_support::built_program("tessaline"), "show-config"}, opts);
  EXPECT_EQ(show.out, "No saved port configurations.\nUse tessaline configure <robot_id> to set up a robot.\n");
  armkit::SimulatedArm a("so101_follower");
  write_manifest({&a});
  opts.stdin_text = "y\n";
  const auto configure = test_support::run_process({test_support::built_program("tessaline"), "configure", "arm1"}, opts);
  EXPECT_EQ(configure.exit_code, 0) << configure.err;
  EXPECT_NE(configure.out.find("Port Configuration"), std::string::npos);
  EXPECT_NE(configure.out.find("Saved!"), std::string::npos) << configure.out;
  EXPECT_NE(test_support::run_process({test_support::built_program("tessaline"), "configure"}, opts).exit_code, 0);
}

}  // namespace

namespace {

TEST_F(Workshop, ConfigureCommandWithThreePortsSavesTheNumberedChoice) {
  armkit::SimulatedArm a("so101_follower"), b("so101_leader"), c("koch_follower");
  write_manifest({&a, &b, &c});
  test_support::ProcessOptions opts;
  opts.set_env = {{"HF_LEROBOT_HOME", home_.string()}, {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"},
                  {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()}, {"COLUMNS", "120"}};
  opts.stdin_text = "2\n";
  const auto run = test_support::run_process({test_support::built_program("tessaline"), "configure", "lab_arm"}, opts);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  // The menu is numbered in discovery order; "2" is whatever was listed second.
  const auto second = run.out.find("  [2] ");
  ASSERT_NE(second, std::string::npos) << run.out;
  const std::string device = run.out.substr(second + 6, run.out.find(" - ", second) - second - 6);
  EXPECT_NE(run.out.find("  [3] "), std::string::npos);
  EXPECT_EQ(run.out.find("  [4] "), std::string::npos);
  EXPECT_NE(run.out.find("  [0] Cancel"), std::string::npos);
  const auto saved = load_port_config("lab_arm");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->port, device);
  EXPECT_EQ(saved->motor_count, 6);
}

}  // namespace
