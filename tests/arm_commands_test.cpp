// `tessaline calibrate` and `tessaline teleoperate` as users run them over
// simulated arms: calibrating the leader through a real terminal leaves its
// servos and its file in agreement, and teleoperating with that file then
// has the follower track the leader.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <sstream>

#include "armkit/protocol/control_table.hpp"
#include "armkit/robots/calibration.hpp"
#include "cli/saved_config.hpp"
#include "tests/support/process.hpp"
#include "tests/support/terminal.hpp"
#include "tests/support/workshop.hpp"

namespace {

using test_support::Workshop;
using namespace std::chrono_literals;

std::map<std::string, std::string> environment(const std::filesystem::path& home, const std::filesystem::path& manifest) {
  return {{"HF_LEROBOT_HOME", home.string()},
          {"TESSALINE_VIRTUAL_HARDWARE", manifest.string()},
          {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"},
          {"NO_COLOR", "1"}};
}

TEST_F(Workshop, CalibrateOnATerminalThenTeleoperateTracks) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower");
  write_manifest({&leader, &follower});
  calibrate(follower, "f");
  // `tessaline configure my_leader` saved the leader's port.
  tessaline::ports::save_port_config("my_leader", {leader.port(), "S0", "bus 0", 6});

  test_support::Terminal terminal(
      {test_support::built_program("tessaline"), "calibrate", "--teleop.type", "so101_leader", "--teleop.id", "my_leader"},
      environment(home_, manifest_));
  ASSERT_TRUE(terminal.expect("Move so101_leader 'my_leader' to the middle of its range of motion and press ENTER"))
      << terminal.output();
  terminal.type("\r");
  ASSERT_TRUE(terminal.expect("Recording positions. Press ENTER to stop...")) << terminal.output();
  ASSERT_TRUE(terminal.expect("shoulder_lift")) << terminal.output();  // the live table
  std::this_thread::sleep_for(2500ms);  // the leader's joints sway meanwhile
  terminal.type("\r");
  ASSERT_TRUE(terminal.expect("Calibration saved to")) << terminal.output();
  EXPECT_EQ(terminal.wait(), 0) << terminal.output();

  const auto path = armkit::calibration_path("so101_leader", "my_leader");
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(path.parent_path().filename(), "so_leader");
  const auto calibration = armkit::load_calibration(path);
  ASSERT_EQ(calibration.size(), 6u);
  for (size_t j = 0; j < 6; ++j) {
    const auto& [motor, c] = calibration[j];
    EXPECT_EQ(leader.bus().get(j, "Homing_Offset"), c.homing_offset) << motor;
    EXPECT_EQ(leader.bus().get(j, "Min_Position_Limit"), c.range_min) << motor;
    EXPECT_EQ(leader.bus().get(j, "Max_Position_Limit"), c.range_max) << motor;
    if (motor == "wrist_roll") {
      EXPECT_EQ(c.range_min, 0);
      EXPECT_EQ(c.range_max, 4095);
    } else {
      EXPECT_LT(c.range_min, c.range_max) << motor;
      EXPECT_GT(c.range_max - c.range_min, 50) << motor;  // it recorded real travel
    }
  }

  tessaline::ports::CaptureSetup setup;
  setup.robot_type = "so101_follower";
  setup.teleop_type = "so101_leader";
  setup.leader = {"S0", leader.port(), "feetech", 6};
  setup.follower = {"S1", follower.port(), "feetech", 6};
  tessaline::ports::save_capture_setup(setup);
  test_support::ProcessOptions opts;
  opts.set_env = environment(home_, manifest_);
  const auto run = test_support::run_process({test_support::built_program("tessaline"), "teleoperate", "--robot.id", "f",
                                              "--teleop.id", "my_leader", "--duration", "3", "--fps", "30"},
                                             opts);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Teleoperated for"), std::string::npos) << run.out;
  // The last table: each joint's leader and follower values, close together.
  const std::regex row(R"((\w+)\s+\|\s+(-?[\d.]+)\s+\|\s+(-?[\d.]+))");
  int rows = 0;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    ++rows;
    EXPECT_NEAR(std::stod(m[2]), std::stod(m[3]), 12.0) << line;
  }
  EXPECT_EQ(rows, 6) << run.out;
}

// Every register a program may write, of every servo of the arm.
std::vector<std::map<std::string, int32_t>> writable_registers(armkit::SimulatedArm& arm, const std::string& model) {
  std::vector<std::map<std::string, int32_t>> out;
  for (size_t j = 0; j < 6; ++j) {
    std::map<std::string, int32_t> values;
    for (const auto& reg : armkit::control_table(model).registers) {
      if (reg.access == armkit::Access::read_write) values[std::string(reg.name)] = arm.bus().get(j, reg.name);
    }
    out.push_back(values);
  }
  return out;
}

TEST_F(Workshop, CalibrateConfiguresFirstAndUndoesACalibrationCutShort) {
  armkit::SimulatedArm leader("so101_leader", armkit::LeaderMotion::still), follower("so101_follower");
  write_manifest({&leader, &follower});
  tessaline::ports::save_port_config("my_leader", {leader.port(), "S0", "bus 0", 6});
  // What other software may have left: a return delay, Phase bit 4 (readings may overflow), slow acceleration.
  for (size_t j = 0; j < 6; ++j) {
    leader.bus().set(j, "Return_Delay_Time", 5);
    leader.bus().set(j, "Phase", 28);
    leader.bus().set(j, "Acceleration", 10);
  }
  const auto before = writable_registers(leader, "sts3215");
  const std::vector<std::string> command{test_support::built_program("tessaline"), "calibrate", "--teleop.type",
                                         "so101_leader", "--teleop.id", "my_leader"};
  {  // The leader is held still: no joint moves while recording, an error.
    test_support::Terminal terminal(command, environment(home_, manifest_));
    ASSERT_TRUE(terminal.expect("to the middle of its range of motion and press ENTER")) << terminal.output();
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Press ENTER to stop...")) << terminal.output();
    std::this_thread::sleep_for(300ms);
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("did not move while recording")) << terminal.output();
    EXPECT_EQ(terminal.wait(), 1) << terminal.output();
    EXPECT_NE(terminal.output().find("are as they were before"), std::string::npos) << terminal.output();
  }
  EXPECT_EQ(writable_registers(leader, "sts3215"), before);
  EXPECT_FALSE(std::filesystem::exists(armkit::calibration_path("so101_leader", "my_leader")));
  {  // Ctrl+C while recording.
    test_support::Terminal terminal(command, environment(home_, manifest_));
    ASSERT_TRUE(terminal.expect("to the middle of its range of motion and press ENTER")) << terminal.output();
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Press ENTER to stop...")) << terminal.output();
    terminal.type("\x03");
    EXPECT_EQ(terminal.wait(), 130) << terminal.output();
    EXPECT_NE(terminal.output().find("are as they were before"), std::string::npos) << terminal.output();
  }
  EXPECT_EQ(writable_registers(leader, "sts3215"), before);
  {  // The bus goes silent for 3 s while recording: the registers are put back once it answers.
    test_support::Terminal terminal(command, environment(home_, manifest_));
    ASSERT_TRUE(terminal.expect("to the middle of its range of motion and press ENTER")) << terminal.output();
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Press ENTER to stop...")) << terminal.output();
    leader.bus().silence_for(3000ms);
    ASSERT_TRUE(terminal.expect("do not answer: waiting")) << terminal.output();
    EXPECT_EQ(terminal.wait(), 1) << terminal.output();
    EXPECT_NE(terminal.output().find("are as they were before"), std::string::npos) << terminal.output();
  }
  EXPECT_EQ(writable_registers(leader, "sts3215"), before);
  {  // Silent for good, and the operator gives up waiting: what is left changed, and the way out.
    test_support::Terminal terminal(command, environment(home_, manifest_));
    ASSERT_TRUE(terminal.expect("to the middle of its range of motion and press ENTER")) << terminal.output();
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Press ENTER to stop...")) << terminal.output();
    leader.bus().drop_answers(1'000'000);
    ASSERT_TRUE(terminal.expect("s left")) << terminal.output();
    terminal.type("\x03");
    EXPECT_EQ(terminal.wait(), 1) << terminal.output();
    leader.bus().drop_answers(0);
    EXPECT_NE(terminal.output().find("stopped by Ctrl+C"), std::string::npos) << terminal.output();
    EXPECT_NE(terminal.output().find("shoulder_pan: "), std::string::npos) << terminal.output();
    EXPECT_NE(terminal.output().find("Homing_Offset"), std::string::npos) << terminal.output();
    EXPECT_NE(terminal.output().find("tessaline calibrate --teleop.type so101_leader --teleop.id my_leader"), std::string::npos)
        << terminal.output();
  }
  EXPECT_NE(writable_registers(leader, "sts3215"), before);  // as the terminal said
  {  // And to the end, the arm moving: configured before its ranges were recorded.
    leader.set_motion(armkit::LeaderMotion::scripted);
    test_support::Terminal terminal(command, environment(home_, manifest_));
    ASSERT_TRUE(terminal.expect("to the middle of its range of motion and press ENTER")) << terminal.output();
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Press ENTER to stop...")) << terminal.output();
    std::this_thread::sleep_for(2500ms);
    terminal.type("\r");
    ASSERT_TRUE(terminal.expect("Calibration saved to")) << terminal.output();
    EXPECT_EQ(terminal.wait(), 0) << terminal.output();
  }
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_EQ(leader.bus().get(j, "Return_Delay_Time"), 0);
    EXPECT_EQ(leader.bus().get(j, "Phase"), 12);  // bit 4 cleared
    EXPECT_EQ(leader.bus().get(j, "Acceleration"), 254);
    EXPECT_EQ(leader.bus().get(j, "Maximum_Acceleration"), 254);
  }
}

TEST_F(Workshop, AFileInAnOlderFolderIsWrittenIntoTheServosAndWhereTheFrameworkLooksNow) {
  armkit::SimulatedArm follower("so101_follower"), leader("so101_leader");
  write_manifest({&leader, &follower});
  tessaline::ports::save_port_config("left", {follower.port(), "S1", "bus 1", 6});
  const auto calibration = follower.calibrate_like_the_framework();
  // Written by a version of the framework that kept per-model folders; the servos were reset since.
  const auto old = armkit::calibration_root() / "robots" / "so101_follower" / "left.json";
  armkit::save_calibration(old, calibration);
  for (size_t j = 0; j < 6; ++j) follower.bus().set(j, "Homing_Offset", 0);
  test_support::Terminal terminal({test_support::built_program("tessaline"), "calibrate", "--robot.type", "so101_follower",
                                   "--robot.id", "left"},
                                  environment(home_, manifest_));
  ASSERT_TRUE(terminal.expect("Press ENTER to use provided calibration file")) << terminal.output();
  terminal.type("  \r");  // blank: not 'c'
  EXPECT_EQ(terminal.wait(), 0) << terminal.output();
  const auto current = armkit::calibration_path("so101_follower", "left");
  ASSERT_TRUE(std::filesystem::exists(current)) << terminal.output();
  EXPECT_EQ(armkit::load_calibration(current), calibration);
  for (size_t j = 0; j < 6; ++j) EXPECT_EQ(follower.bus().get(j, "Homing_Offset"), calibration[j].second.homing_offset);
  // ' C ' (any case, any spaces) means calibrate now, as the framework reads the answer.
  test_support::Terminal again({test_support::built_program("tessaline"), "calibrate", "--robot.type", "so101_follower",
                                "--robot.id", "left"},
                               environment(home_, manifest_));
  ASSERT_TRUE(again.expect("Press ENTER to use provided calibration file")) << again.output();
  again.type(" C \r");
  ASSERT_TRUE(again.expect("to the middle of its range of motion")) << again.output();
  again.type("\x03");
  EXPECT_EQ(again.wait(), 130) << again.output();
}

}  // namespace
