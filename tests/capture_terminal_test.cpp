// `tessaline capture` as a user runs it in a terminal, over simulated arms
// that nobody moves: the command cannot tell the leader by motion, asks,
// takes the typed answer, saves the set-up; finds the leader's servos
// without the calibration its file holds and offers to write it; and ends
// in order on Ctrl+C while it waits for the sign-in (at a studio address
// where nothing answers, which it says first). Runs in a network
// namespace of its own (the sign-in listens on its fixed loopback port).
// Also: saved cameras that are gone end the command with a way out.
#include <gtest/gtest.h>

#include "cli/saved_config.hpp"
#include "tests/support/process.hpp"
#include "tests/support/terminal.hpp"
#include "tests/support/workshop.hpp"

namespace {

using test_support::Workshop;

TEST_F(Workshop, CaptureAsksForTheLeaderWhenNothingMovesAndStopsOnCtrlC) {
  armkit::SimulatedArm leader("so101_leader", armkit::LeaderMotion::still), follower("so101_follower");
  write_manifest({&leader, &follower});  // serial numbers S0 (leader), S1
  calibrate(follower);
  armkit::SimulatedArm twin("so101_leader");  // the leader's file, its servos still factory-fresh
  armkit::save_calibration(armkit::calibration_path("so101_leader", "None"), twin.calibrate_like_the_framework());
  test_support::Terminal terminal({test_support::built_program("tessaline"), "capture"},
                                  {{"HF_LEROBOT_HOME", home_.string()},
                                   {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()},
                                   {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"},
                                   {"NO_COLOR", "1"},
                                   {"BROWSER", "true"},
                                   {"STUDIO_URL", "http://127.0.0.1:9"},
                                   {"VELQUIN_HTTP_SERVER", "http://127.0.0.1:9"}});
  ASSERT_TRUE(terminal.expect("Move the LEADER arm now")) << terminal.output();
  ASSERT_TRUE(terminal.expect("Could not detect motion automatically.", std::chrono::seconds(40))) << terminal.output();
  ASSERT_TRUE(terminal.expect("Selection")) << terminal.output();
  // Answer with the number the leader's port was listed under.
  const std::string& shown = terminal.output();
  const bool leader_first = shown.find("[1] " + leader.port()) != std::string::npos;
  ASSERT_TRUE(leader_first || shown.find("[2] " + leader.port()) != std::string::npos) << shown;
  terminal.type(leader_first ? "1\r" : "2\r");
  ASSERT_TRUE(terminal.expect("Setup saved!")) << terminal.output();
  ASSERT_TRUE(terminal.expect("the servos do not hold the calibration in")) << terminal.output();
  ASSERT_TRUE(terminal.expect("[1] Write the calibration file into the servos")) << terminal.output();
  ASSERT_TRUE(terminal.expect("Enter number")) << terminal.output();
  terminal.type("1\r");
  ASSERT_TRUE(terminal.expect("Calibration written to the servos.")) << terminal.output();
  // Nothing at the studio's addresses: said, with the way to a local studio, and then waited for all the same.
  ASSERT_TRUE(terminal.expect("Waiting for the sign-in all the same")) << terminal.output();
  for (const char* advice : {"The studio does not answer.", "VELQUIN_HTTP_SERVER=http://127.0.0.1:9  the studio's API: no answer",
                             "STUDIO_URL=http://127.0.0.1:9  where you sign in: no answer",
                             "tessaline-studio --data-dir", "export VELQUIN_HTTP_SERVER=http://127.0.0.1:8080"}) {
    EXPECT_NE(terminal.output().find(advice), std::string::npos) << advice << "\n" << terminal.output();
  }
  ASSERT_TRUE(terminal.expect("Authentication Required")) << terminal.output();
  EXPECT_EQ(leader.bus().get(3, "Homing_Offset"), twin.bus().get(3, "Homing_Offset"));

  terminal.type("\x03");
  ASSERT_TRUE(terminal.expect("Shutting down...")) << terminal.output();
  EXPECT_EQ(terminal.wait(), 0) << terminal.output();

  const auto setup = tessaline::ports::load_capture_setup();
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->leader.serial_number, "S0");
  EXPECT_EQ(setup->leader.last_port, leader.port());
  EXPECT_EQ(setup->follower.serial_number, "S1");
  EXPECT_EQ(setup->teleop_type, "so101_leader");
}

TEST_F(Workshop, CaptureWithSavedCamerasThatAreGoneSaysHowToStartAfresh) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower");
  write_manifest({&leader, &follower});
  calibrate(leader);
  calibrate(follower);
  tessaline::ports::CaptureSetup setup;
  setup.robot_type = "so101_follower";
  setup.teleop_type = "so101_leader";
  setup.leader = {"S0", leader.port(), "feetech", 6};
  setup.follower = {"S1", follower.port(), "feetech", 6};
  setup.cameras = kit::json::Json{{"front", {{"index_or_path", "virtual:" + (home_ / "gone").string()},
                                             {"width", 640}, {"height", 480}, {"fps", 30}}}};
  tessaline::ports::save_capture_setup(setup);
  test_support::ProcessOptions opts;
  opts.set_env = {{"HF_LEROBOT_HOME", home_.string()}, {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()},
                  {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"}};
  const auto run = test_support::run_process({test_support::built_program("tessaline"), "capture"}, opts);
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("Using saved setup"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("Error: camera virtual:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("run `tessaline reset --cameras`"), std::string::npos) << run.err;
}

TEST_F(Workshop, WithoutATerminalAnUncalibratedArmStopsTheCommandWithTheFix) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower");
  write_manifest({&leader, &follower});
  calibrate(leader, "my_leader");
  tessaline::ports::CaptureSetup setup;
  setup.robot_type = "so101_follower";
  setup.teleop_type = "so101_leader";
  setup.leader = {"S0", leader.port(), "feetech", 6};
  setup.follower = {"S1", follower.port(), "feetech", 6};
  tessaline::ports::save_capture_setup(setup);
  test_support::ProcessOptions opts;
  opts.set_env = {{"HF_LEROBOT_HOME", home_.string()}, {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()},
                  {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"}};
  const auto run = test_support::run_process(
      {test_support::built_program("tessaline"), "capture", "--teleop.id", "my_leader", "--robot.id", "left"}, opts);
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("so101_follower 'left' on " + follower.port() + " has no calibration"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("Run `tessaline calibrate --robot.type so101_follower --robot.id left`"), std::string::npos)
      << run.err;
  for (size_t j = 0; j < 6; ++j) EXPECT_EQ(follower.bus().get(j, "Torque_Enable"), 0);
}

}  // namespace
