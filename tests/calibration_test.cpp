// Arms calibrated by the robot framework move here exactly as there: values
// in its units from what the servos report, its calibration files in its
// folders, its configuration at connect, and no motion on a calibration
// the servos do not hold. The framework's formulas are written out again
// here, on their own, to check ours against.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "armkit/robots/arm_setup.hpp"
#include "armkit/robots/robot.hpp"
#include "armkit/runtime.hpp"
#include "tests/support/calibrated_arms.hpp"

namespace {

using namespace armkit;
using namespace std::chrono_literals;

// The framework's bus: degrees for SO joints, −100..100 for Koch joints,
// 0..100 for grippers; drive mode in software on Feetech only.
double framework_read(const std::string& type, const std::string& joint, const MotorCalibration& c, int raw) {
  const double lo = c.range_min, hi = c.range_max;
  const bool reverse = c.drive_mode && !type.starts_with("koch");
  if (joint == "gripper") {
    const double v = (std::clamp<double>(raw, lo, hi) - lo) / (hi - lo) * 100;
    return reverse ? 100 - v : v;
  }
  if (type.starts_with("koch")) {
    const double v = (std::clamp<double>(raw, lo, hi) - lo) / (hi - lo) * 200 - 100;
    return reverse ? -v : v;
  }
  return (raw - (lo + hi) / 2) * 360 / 4095;
}

int framework_write(const std::string& type, const std::string& joint, const MotorCalibration& c, double v) {
  const double lo = c.range_min, hi = c.range_max;
  const bool reverse = c.drive_mode && !type.starts_with("koch");
  if (joint == "gripper") return static_cast<int>(std::clamp(reverse ? 100 - v : v, 0.0, 100.0) / 100 * (hi - lo) + lo);
  if (type.starts_with("koch")) {
    return static_cast<int>((std::clamp(reverse ? -v : v, -100.0, 100.0) + 100) / 200 * (hi - lo) + lo);
  }
  return static_cast<int>(v * 4095 / 360 + (lo + hi) / 2);
}

RobotConfig follower_config(const SimulatedArm& sim, std::optional<std::string> id) {
  auto config = RobotConfig::get_choice_class(sim.type())(sim.port(), {});
  config.id = std::move(id);
  return config;
}

TeleoperatorConfig leader_config(const SimulatedArm& sim, std::optional<std::string> id) {
  auto config = TeleoperatorConfig::get_choice_class(sim.type())(sim.port());
  config.id = std::move(id);
  return config;
}

// Where a hand holds each joint of the leader, in steps from its middle.
constexpr double kPose[6] = {260, -180, 330, -240, 120, 150};

void hold_pose(SimulatedArm& leader, double scale) {
  for (size_t j = 0; j < 6; ++j) {
    const double at = leader.physical_middle(j) + scale * kPose[j];
    leader.bus().set_hand(j, [at](double) { return at; });
  }
}

class Calibrated : public ::testing::TestWithParam<std::string> {
 protected:
  test_support::CalibrationFolder folder_;
};

TEST_P(Calibrated, FollowerGoalsAreTheFrameworksFormulaOfTheLeadersReading) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::still), follower_sim(kind + "_follower");
  const auto leader_cal = leader_sim.calibrate_like_the_framework();
  const auto follower_cal = follower_sim.calibrate_like_the_framework();
  save_calibration(calibration_path(leader_sim.type(), "l"), leader_cal);
  save_calibration(calibration_path(follower_sim.type(), "f"), follower_cal);
  hold_pose(leader_sim, 1.0);
  Teleoperator leader(leader_config(leader_sim, "l"));
  Robot robot(follower_config(follower_sim, "f"));
  leader.connect();
  robot.connect();
  for (int tick = 0; tick < 60; ++tick) {
    robot.get_observation();
    robot.send_action(leader.get_action());
    busy_wait(0.01);
  }
  const auto action = leader.get_action();
  const auto observation = robot.get_observation();
  for (size_t j = 0; j < 6; ++j) {
    const std::string& joint = leader_cal[j].first;
    const int leader_raw = leader_sim.present(j);
    const double value = framework_read(leader_sim.type(), joint, leader_cal[j].second, leader_raw);
    EXPECT_NEAR(action.at(joint + ".pos").as_double(), value, 1e-9) << kind << " " << joint;
    const int goal = framework_write(follower_sim.type(), joint, follower_cal[j].second, value);
    EXPECT_NEAR(follower_sim.bus().get(j, "Goal_Position"), goal, 1) << kind << " " << joint;
    EXPECT_NEAR(observation.at(joint + ".pos").as_double(),
                framework_read(follower_sim.type(), joint, follower_cal[j].second, follower_sim.present(j)), 1e-9);
  }
  // The joints really move the same way: the Koch leader's elbow is reversed
  // in its servo, so its reading falls while the horn turns up, and the
  // follower's elbow follows the reading, not the horn.
  const size_t elbow = 2;
  const double reading_at_pose = action.at("elbow_flex.pos").as_double();
  hold_pose(leader_sim, 0.5);
  const double reading_nearer = leader.get_action().at("elbow_flex.pos").as_double();
  EXPECT_EQ(reading_nearer < reading_at_pose, kind != "koch") << kind;
  EXPECT_GT(std::abs(reading_at_pose), 1.0);
  EXPECT_EQ(leader_cal[elbow].second.drive_mode, kind == "koch" ? 1 : 0);
}

TEST_P(Calibrated, TheFirstCommandMovesNoJointMoreThanOneStep) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::still), follower_sim(kind + "_follower");
  hold_pose(leader_sim, 3.0);  // far from where the follower rests
  Teleoperator leader(leader_config(leader_sim, test_support::calibrate(leader_sim, "l")));
  Robot robot(follower_config(follower_sim, test_support::calibrate(follower_sim, "f")));
  leader.connect();
  robot.connect();
  std::vector<int> before;
  for (size_t j = 0; j < 6; ++j) before.push_back(follower_sim.present(j));
  robot.send_action(leader.get_action());
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_LE(std::abs(follower_sim.bus().get(j, "Goal_Position") - before[j]), 171) << kind << " joint " << j;
  }
}

TEST_P(Calibrated, ConnectWritesTheFrameworksConfiguration) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader"), follower_sim(kind + "_follower");
  Teleoperator leader(leader_config(leader_sim, test_support::calibrate(leader_sim, "l")));
  Robot robot(follower_config(follower_sim, test_support::calibrate(follower_sim, "f")));
  // Power-on values that connect must replace.
  follower_sim.bus().set(5, "Return_Delay_Time", 250);
  leader.connect();
  robot.connect();
  auto& f = follower_sim.bus();
  EXPECT_EQ(f.get(5, "Return_Delay_Time"), 0);
  if (kind == "so101") {
    EXPECT_EQ(f.get(1, "P_Coefficient"), 16);
    EXPECT_EQ(f.get(1, "D_Coefficient"), 32);
    EXPECT_EQ(f.get(1, "Acceleration"), 254);
    EXPECT_EQ(f.get(5, "Max_Torque_Limit"), 500);
    EXPECT_EQ(f.get(5, "Protection_Current"), 250);
    EXPECT_EQ(f.get(5, "Overload_Torque"), 25);
    EXPECT_EQ(f.get(5, "Lock"), 1);  // torque on locks the EPROM again
  } else {
    EXPECT_EQ(f.get(2, "Position_P_Gain"), 1500);
    EXPECT_EQ(f.get(2, "Position_D_Gain"), 600);
    EXPECT_EQ(f.get(0, "Operating_Mode"), 4);
    EXPECT_EQ(f.get(5, "Operating_Mode"), 5);
    EXPECT_EQ(leader_sim.bus().get(5, "Operating_Mode"), 5);
  }
}

// The framework's max_relative_target (robots/utils.py): from a fresh
// reading, goal − present clamped to ±bound in the joint's units, then
// written as its bus writes any goal. Unset it sends the goal as it comes;
// our default bounds it by 15° of horn travel instead.
TEST_P(Calibrated, GoalsAreClampedAsTheFrameworksMaxRelativeTargetClampsThem) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::still), follower_sim(kind + "_follower");
  const auto follower_cal = follower_sim.calibrate_like_the_framework();
  save_calibration(calibration_path(follower_sim.type(), "f"), follower_cal);
  hold_pose(leader_sim, 2.0);  // far from the follower
  Teleoperator leader(leader_config(leader_sim, test_support::calibrate(leader_sim, "l")));
  leader.connect();
  const std::vector<std::string> joints{"shoulder_pan", "shoulder_lift", "elbow_flex", "wrist_flex", "wrist_roll", "gripper"};
  struct Case {
    const char* what;
    std::optional<MaxRelativeTarget> bound;
    double max_step_degrees;
  };
  MaxRelativeTarget five, per_joint;
  five.all = 5.0;
  for (size_t j = 0; j < 6; ++j) per_joint.per_motor[joints[j]] = 2.0 + j;
  const Case cases[] = {{"none: as it comes", std::nullopt, 0}, {"5 for all", five, 15}, {"per joint", per_joint, 15}};
  for (const Case& c : cases) {
    auto config = follower_config(follower_sim, "f");
    config.max_relative_target = c.bound;
    config.max_step_degrees = c.max_step_degrees;
    Robot robot(config);
    robot.connect();
    const auto action = leader.get_action();
    std::vector<int> present;
    for (size_t j = 0; j < 6; ++j) present.push_back(follower_sim.present(j));
    robot.send_action(action);
    robot.get_observation();  // a sync write gets no answer: a read after it makes sure it has arrived
    for (size_t j = 0; j < 6; ++j) {
      const auto& cal = follower_cal[j].second;
      const double goal = action.at(joints[j] + ".pos").as_double();
      const double now = framework_read(follower_sim.type(), joints[j], cal, present[j]);
      double safe = goal;
      if (c.bound) {
        const double cap = c.bound->all ? *c.bound->all : c.bound->per_motor.at(joints[j]);
        safe = now + std::max(std::min(goal - now, cap), -cap);
      }
      const int expected = std::clamp(framework_write(follower_sim.type(), joints[j], cal, safe), std::min(cal.range_min, cal.range_max),
                                      std::max(cal.range_min, cal.range_max));
      EXPECT_NEAR(follower_sim.bus().get(j, "Goal_Position"), expected, 1) << kind << " " << c.what << " " << joints[j];
    }
    robot.disconnect();
  }
  // A bound per motor must name every motor, and only motors.
  auto config = follower_config(follower_sim, "f");
  MaxRelativeTarget partial;
  partial.per_motor["gripper"] = 3;
  config.max_relative_target = partial;
  EXPECT_THROW(Robot{config}, std::invalid_argument);
}

TEST_P(Calibrated, TheArmOptionsOfTheFrameworkApply) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::still), follower_sim(kind + "_follower");
  const auto follower_cal = follower_sim.calibrate_like_the_framework();
  save_calibration(calibration_path(follower_sim.type(), "f"), follower_cal);
  auto config = follower_config(follower_sim, "f");
  // use_degrees flips the units of joints 1–5 (SO arms calibrated before
  // degrees became the default read −100..100).
  config.use_degrees = kind == "koch";
  config.disable_torque_on_disconnect = false;
  Robot robot(config);
  robot.connect();
  const double pan = robot.get_observation().at("shoulder_pan.pos").as_double();
  const auto& c = follower_cal[0].second;
  const int raw = follower_sim.present(0);
  const double degrees = (raw - (c.range_min + c.range_max) / 2.0) * 360 / 4095;
  const double range = (std::clamp(raw, c.range_min, c.range_max) - c.range_min) * 200.0 / (c.range_max - c.range_min) - 100;
  EXPECT_NEAR(pan, kind == "koch" ? degrees : range, 1e-9);
  robot.disconnect();
  EXPECT_EQ(follower_sim.bus().get(0, "Torque_Enable"), 1);  // kept, as asked
}

INSTANTIATE_TEST_SUITE_P(Kinds, Calibrated, ::testing::Values("so101", "koch"));

TEST(KochLeader, TheGripperSpringsBackToItsOpenPositionAtConnect) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("koch_leader", LeaderMotion::still);
  const auto calibration = sim.calibrate_like_the_framework();
  save_calibration(calibration_path("koch_leader", "l"), calibration);
  const auto& grip = calibration[5].second;
  sim.bus().set_hand(5, {});  // the hand lets go of the trigger near its closed end
  sim.bus().set_actual(5, sim.physical_middle(5) - 300);
  for (const double open : {50.0, 80.0}) {
    auto config = leader_config(sim, "l");
    config.gripper_open_pos = open;
    Teleoperator leader(config);
    leader.connect();
    EXPECT_EQ(sim.bus().get(5, "Torque_Enable"), 1);
    EXPECT_NEAR(sim.bus().get(5, "Goal_Position"), grip.range_min + open / 100 * (grip.range_max - grip.range_min), 1);
    for (int i = 0; i < 100 && std::abs(leader.get_action().at("gripper.pos").as_double() - open) > 1; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_NEAR(leader.get_action().at("gripper.pos").as_double(), open, 1);
    leader.disconnect();
  }
}

TEST(FeetechArm, MixedFirmwareIsRefusedAndServoErrorsNameTheJoint) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("so101_follower");
  save_calibration(calibration_path("so101_follower", "f"), sim.calibrate_like_the_framework());
  sim.bus().set(2, "Firmware_Minor_Version", 9);
  sim.bus().set(4, "Firmware_Minor_Version", 9);
  Robot mixed(follower_config(sim, "f"));
  try {
    mixed.connect();
    FAIL() << "an arm of mixed firmware was taken";
  } catch (const BusError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("firmware 3.9: elbow_flex (id 3) wrist_roll (id 5)"), std::string::npos) << text;
    EXPECT_NE(text.find("firmware 3.10:"), std::string::npos) << text;
  }
  EXPECT_FALSE(mixed.is_connected());
  sim.bus().set(2, "Firmware_Minor_Version", 10);
  sim.bus().set(4, "Firmware_Minor_Version", 10);
  // An elbow that reports overload: a read of it fails, naming it, as the framework's does.
  sim.bus().set_error_byte(2, 0x20);
  Robot overloaded(follower_config(sim, "f"));
  try {
    overloaded.connect();
    FAIL() << "a servo reporting overload was read as if all were well";
  } catch (const BusError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("'elbow_flex' (id 3)"), std::string::npos) << text;
    EXPECT_NE(text.find("overload"), std::string::npos) << text;
  }
}

TEST(CalibrationFiles, TheFrameworksFoldersAreFoundAsItFindsThem) {
  test_support::CalibrationFolder folder;
  unsetenv("HF_LEROBOT_CALIBRATION");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/root";
  setenv("XDG_CACHE_HOME", "/srv/cache", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path("/srv/cache/huggingface/lerobot/calibration"));
  unsetenv("XDG_CACHE_HOME");
  EXPECT_EQ(calibration_root(), std::filesystem::path(home + "/.cache/huggingface/lerobot/calibration"));
  setenv("HF_HOME", "~/hf", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path(home + "/hf/lerobot/calibration"));
  setenv("LAB_DISK", "/mnt/lab", 1);
  setenv("HF_HOME", "${LAB_DISK}/hf-$USERX", 1);  // an unknown variable stays as written
  EXPECT_EQ(calibration_root(), std::filesystem::path("/mnt/lab/hf-$USERX/lerobot/calibration"));
  unsetenv("HF_HOME");
  setenv("HF_LEROBOT_HOME", "~/lerobot", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path(home + "/lerobot/calibration"));
  setenv("HF_LEROBOT_CALIBRATION", "~root/cal", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path(expand_user("~root") + "/cal"));
  EXPECT_EQ(expand_user("~nosuchuser-xyz/cal"), "~nosuchuser-xyz/cal");
  unsetenv("HF_LEROBOT_HOME");
  unsetenv("LAB_DISK");
  setenv("HF_LEROBOT_CALIBRATION", folder.path().c_str(), 1);
}

TEST(CalibrationCheck, AFileTheServosDoNotHoldStopsBeforeAnythingMoves) {
  test_support::CalibrationFolder folder;
  SimulatedArm follower_sim("so101_follower"), other("so101_follower");
  other.calibrate_like_the_framework();
  follower_sim.calibrate_like_the_framework();
  auto wrong = other.calibrate_like_the_framework();
  wrong[2].second.homing_offset += 300;  // another arm's file
  save_calibration(calibration_path("so101_follower", "left"), wrong);
  const int goal_before = follower_sim.bus().get(2, "Goal_Position");
  Robot robot(follower_config(follower_sim, "left"));
  try {
    robot.connect();
    FAIL() << "connected on a calibration the servos do not hold";
  } catch (const CalibrationError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("so101_follower 'left' on " + follower_sim.port()), std::string::npos) << text;
    EXPECT_NE(text.find("\n  - elbow_flex: homing_offset"), std::string::npos) << text;  // a line per joint
    EXPECT_TRUE(e.problem.file_found);
  }
  EXPECT_FALSE(robot.is_connected());
  for (size_t j = 0; j < 6; ++j) EXPECT_EQ(follower_sim.bus().get(j, "Torque_Enable"), 0);
  EXPECT_EQ(follower_sim.bus().get(2, "Goal_Position"), goal_before);

  // No file at all: the same stop, saying so.
  Robot unnamed(follower_config(follower_sim, std::nullopt));
  try {
    unnamed.connect();
    FAIL();
  } catch (const CalibrationError& e) {
    EXPECT_NE(std::string(e.what()).find("has no calibration (no file at " +
                                         calibration_path("so101_follower", "None").string()),
              std::string::npos)
        << e.what();
  }
}

TEST(CalibrationCheck, AHandlerMayWriteTheFileIntoTheServos) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("so101_follower");
  SimulatedArm twin("so101_follower");  // the same build: its calibration fits this arm
  save_calibration(calibration_path("so101_follower", "f"), twin.calibrate_like_the_framework());
  auto config = follower_config(sim, "f");
  int asked = 0;
  config.on_calibration_problem = [&](ServoArm& arm, const CalibrationProblem&) {
    ++asked;
    write_calibration(arm.bus(), *arm.calibration());
  };
  Robot robot(config);
  robot.connect();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(sim.bus().get(0, "Homing_Offset"), twin.bus().get(0, "Homing_Offset"));
  EXPECT_NEAR(robot.get_observation().at("shoulder_pan.pos").as_double(), 0.0, 0.1);  // the middle reads 0 degrees
}

TEST(CalibrationFiles, AFileWrittenAsTheFrameworksDocsShowIsFoundAndUsed) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("so101_follower");
  const auto c = sim.calibrate_like_the_framework();
  std::filesystem::create_directories(folder.path() / "robots" / "so_follower");
  std::ofstream file(folder.path() / "robots" / "so_follower" / "my_awesome_follower_arm.json");
  file << "{\n";
  for (size_t j = 0; j < c.size(); ++j) {
    const auto& [motor, m] = c[j];
    file << "    \"" << motor << "\": {\n        \"id\": " << m.id << ",\n        \"drive_mode\": " << m.drive_mode
         << ",\n        \"homing_offset\": " << m.homing_offset << ",\n        \"range_min\": " << m.range_min
         << ",\n        \"range_max\": " << m.range_max << "\n    }" << (j + 1 < c.size() ? ",\n" : "\n");
  }
  file << "}";
  file.close();
  Robot robot(follower_config(sim, "my_awesome_follower_arm"));
  robot.connect();
  // A hand holds the joint there (the motor, torque on, would pull it back).
  const double held = sim.physical_middle(0) + 100;
  sim.bus().set_hand(0, [held](double) { return held; });
  const double expected = (sim.present(0) - (c[0].second.range_min + c[0].second.range_max) / 2.0) * 360 / 4095;
  EXPECT_NEAR(robot.get_observation().at("shoulder_pan.pos").as_double(), expected, 1e-9);
  EXPECT_NEAR(expected, 100 * 360.0 / 4095, 0.1);
  // What we write reads back the same, in the same layout.
  const auto path = calibration_path("so101_follower", "again");
  save_calibration(path, c);
  EXPECT_EQ(load_calibration(path), c);
}

TEST(CalibrationFiles, OlderFoldersAndTheSettingsThatMoveThemAreHonoured) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("so100_leader");
  const auto c = sim.calibrate_like_the_framework();
  const auto old = folder.path() / "teleoperators" / "so100_leader" / "mine.json";
  save_calibration(old, c);
  EXPECT_EQ(find_calibration("so100_leader", "mine"), old);
  Teleoperator leader(TeleoperatorConfig{.type = "so100_leader", .port = sim.port(), .id = "mine"});
  leader.connect();
  leader.disconnect();
  // Today's folder wins when both exist.
  save_calibration(calibration_path("so100_leader", "mine"), c);
  EXPECT_EQ(find_calibration("so100_leader", "mine"), folder.path() / "teleoperators" / "so_leader" / "mine.json");

  unsetenv("HF_LEROBOT_CALIBRATION");
  setenv("HF_LEROBOT_HOME", "/srv/lerobot", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path("/srv/lerobot/calibration"));
  unsetenv("HF_LEROBOT_HOME");
  setenv("HF_HOME", "/srv/hf", 1);
  EXPECT_EQ(calibration_root(), std::filesystem::path("/srv/hf/lerobot/calibration"));
  unsetenv("HF_HOME");
  setenv("HF_LEROBOT_CALIBRATION", folder.path().c_str(), 1);
}

TEST(CalibrationFiles, ABrokenFileFailsLoudlyNamingIt) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("koch_follower");
  const auto path = calibration_path("koch_follower", "bad");
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << R"({"shoulder_pan": {"id": 1, "drive_mode": 0}})";
  Robot robot(follower_config(sim, "bad"));
  try {
    robot.connect();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(robot.is_connected());
}

}  // namespace
