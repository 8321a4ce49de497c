// Arms, cameras and processors of the robot layer against simulated arms on
// pseudo-terminals and virtual cameras.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "armkit/runtime.hpp"
#include "armkit/sim/arm_sim.hpp"
#include "armkit/sim/frame_file.hpp"
#include "armkit/robots/arm_kinds.hpp"

namespace {

using namespace armkit;
using namespace std::chrono_literals;

// As the capture loop does: observe, then act.
void teleoperate(Teleoperator& leader, Robot& follower, int ticks) {
  for (int i = 0; i < ticks; ++i) {
    follower.get_observation();
    follower.send_action(leader.get_action());
    busy_wait(0.01);
  }
}

class ArmPair : public ::testing::TestWithParam<std::string> {};

TEST_P(ArmPair, FollowerFollowsTheLeaderWithTorqueOnlyWhileConnected) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::scripted);
  SimulatedArm follower_sim(kind + "_follower");
  auto leader = make_teleoperator_from_config(TeleoperatorConfig::get_choice_class(kind + "_leader")(leader_sim.port()));
  auto robot = make_robot_from_config(RobotConfig::get_choice_class(kind + "_follower")(follower_sim.port(), {}));
  leader->connect();
  robot->connect();
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_EQ(follower_sim.bus().get(j, "Torque_Enable"), 1);
    EXPECT_EQ(leader_sim.bus().get(j, "Torque_Enable"), 0);
  }
  teleoperate(*leader, *robot, 80);
  std::this_thread::sleep_for(100ms);
  const auto obs = robot->get_observation();
  const auto action = leader->get_action();
  for (const auto& [key, value] : action) {
    EXPECT_NEAR(obs.at(key).as_double(), value.as_double(), 25.0) << key;  // the leader keeps moving
  }
  EXPECT_EQ(obs.size(), 6u);
  EXPECT_TRUE(obs.contains("shoulder_pan.pos"));
  robot->disconnect();
  leader->disconnect();
  for (size_t j = 0; j < 6; ++j) EXPECT_EQ(follower_sim.bus().get(j, "Torque_Enable"), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ArmPair, ::testing::Values("so101", "koch"));

TEST(Follower, GoalsStayInRangeAndMoveInBoundedSteps) {
  SimulatedArm sim("so100_follower");
  auto robot = make_robot_from_config(RobotConfig::get_choice_class("so100_follower")(sim.port(), {}));
  robot->connect();
  Action wild;
  for (const char* j : {"shoulder_pan", "shoulder_lift", "elbow_flex", "wrist_flex", "wrist_roll"}) {
    wild.set(std::string(j) + ".pos", 1e6);
  }
  wild.set("gripper.pos", -500.0);
  const double pan_before = (sim.present(0) - 2047.5) * 360 / 4096, gripper_before = sim.present(5) * 100.0 / 4095;
  const auto sent = robot->send_action(wild);
  // One step from where each joint stands.
  EXPECT_NEAR(sent.at("shoulder_pan.pos").as_double(), pan_before + 15.0, 0.2);
  EXPECT_NEAR(sent.at("gripper.pos").as_double(), gripper_before - 15.0 * 4096 / 360 * 100 / 4095, 0.5);
  for (int i = 0; i < 400 && (sim.present(0) < 4095 || sim.present(5) > 0); ++i) {
    robot->get_observation();  // as the capture loop does: observe, then act
    robot->send_action(wild);
    std::this_thread::sleep_for(5ms);
  }
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_LE(sim.bus().get(j, "Goal_Position"), 4095);
    EXPECT_GE(sim.bus().get(j, "Goal_Position"), 0);
  }
  EXPECT_EQ(sim.present(0), 4095);  // it got there, step by step, and no further
  EXPECT_EQ(sim.present(5), 0);
}

TEST(Follower, ABusThatDropsOrGarblesAnswersNeverGetsAWildGoalAndEndsLimp) {
  SimulatedArm leader_sim("so101_leader");
  SimulatedArm follower_sim("so101_follower");
  auto leader = make_teleoperator_from_config(TeleoperatorConfig::get_choice_class("so101_leader")(leader_sim.port()));
  auto robot = make_robot_from_config(RobotConfig::get_choice_class("so101_follower")(follower_sim.port(), {}));
  leader->connect();
  robot->connect();
  int failures = 0;
  for (int i = 0; i < 60; ++i) {
    // A few lost answers are absorbed by retries; these are more than that.
    if (i % 7 == 3) follower_sim.bus().drop_answers(20);
    if (i % 11 == 5) follower_sim.bus().corrupt_answers(20);
    try {
      robot->get_observation();
      robot->send_action(leader->get_action());
    } catch (const BusError&) {
      ++failures;  // reported, and the arm goes limp rather than guess
      EXPECT_EQ(follower_sim.bus().get(0, "Torque_Enable"), 0);
      follower_sim.bus().drop_answers(0);
      follower_sim.bus().corrupt_answers(0);
      robot->disconnect();
      robot->connect();
    }
    for (size_t j = 0; j < 6; ++j) {
      ASSERT_GE(follower_sim.bus().get(j, "Goal_Position"), 0);
      ASSERT_LE(follower_sim.bus().get(j, "Goal_Position"), 4095);
    }
  }
  EXPECT_GT(failures, 0);
  robot->disconnect();
  EXPECT_EQ(follower_sim.bus().get(0, "Torque_Enable"), 0);
}

TEST(Calibration, FilesChangeTheMappingAndBadOnesFailLoudly) {
  const auto home = std::filesystem::temp_directory_path() / ("calib-" + std::to_string(getpid()));
  std::filesystem::create_directories(home / "calibration/robots/so101_follower");
  setenv("HF_LEROBOT_HOME", home.c_str(), 1);
  std::ofstream(home / "calibration/robots/so101_follower/left.json")
      << R"({"shoulder_pan": {"drive_mode": 1, "homing_offset": 0, "range_min": 1048, "range_max": 3048}})";
  SimulatedArm sim("so101_follower");
  auto cfg = RobotConfig::get_choice_class("so101_follower")(sim.port(), {});
  cfg.id = "left";
  auto robot = make_robot_from_config(cfg);
  robot->connect();
  sim.bus().set_actual(0, 2048 + 100);
  EXPECT_NEAR(robot->get_observation().at("shoulder_pan.pos").as_double(), -100 * 360.0 / 4096, 0.01);
  robot->disconnect();
  std::ofstream(home / "calibration/robots/so101_follower/bad.json") << "{not json";
  cfg.id = "bad";
  EXPECT_ANY_THROW(make_robot_from_config(cfg));
  unsetenv("HF_LEROBOT_HOME");
  std::filesystem::remove_all(home);
}

TEST(ArmTypes, UnknownOrWrongKindIsRejected) {
  EXPECT_THROW(RobotConfig::get_choice_class("so101_leader"), std::invalid_argument);
  EXPECT_THROW(TeleoperatorConfig::get_choice_class("koch_follower"), std::invalid_argument);
  EXPECT_THROW(RobotConfig::get_choice_class("r2d2_follower"), std::invalid_argument);
}

TEST(VirtualCamera, DeliversTheLatestFrameAndReportsAStoppedOne) {
  const auto path = std::filesystem::temp_directory_path() / ("cam-" + std::to_string(getpid()));
  auto writer = std::make_unique<FrameFileWriter>(path.string(), 32, 24);
  kit::NdArray frame(kit::DType::uint8, {24, 32, 3});
  std::memset(frame.mutable_data(), 77, frame.nbytes());
  writer->write(frame);
  Camera camera({"virtual:" + path.string(), 32, 24, 30});
  camera.connect();
  for (int i = 0; i < 100 && camera.frames_read() == 0; ++i) std::this_thread::sleep_for(10ms);
  const auto got = camera.read_latest();
  EXPECT_EQ(got.shape(), (std::vector<size_t>{24, 32, 3}));
  EXPECT_EQ(static_cast<int>(got.data()[100]), 77);
  std::this_thread::sleep_for(300ms);
  EXPECT_THROW(camera.read_latest(200ms), CameraError);  // nothing new for longer than that
  camera.disconnect();
  EXPECT_THROW(Camera({"virtual:/nonexistent/cam", 32, 24, 30}).connect(), CameraError);
}

TEST(Processors, DefaultsPassThrough) {
  const auto p = make_default_processors();
  Action a{{"gripper.pos", 3.0}};
  Observation o{{"gripper.pos", 1.0}};
  EXPECT_EQ(p.teleop_action({a, o}).at("gripper.pos").as_double(), 3.0);
  EXPECT_EQ(p.robot_action({a, o}).at("gripper.pos").as_double(), 3.0);
  EXPECT_EQ(p.robot_observation(o).at("gripper.pos").as_double(), 1.0);
  busy_wait(-1);  // returns at once
}

}  // namespace

