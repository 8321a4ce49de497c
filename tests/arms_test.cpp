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
#include "tests/support/calibrated_arms.hpp"

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

RobotConfig follower_config(const SimulatedArm& sim, const std::string& id) {
  auto config = RobotConfig::get_choice_class(sim.type())(sim.port(), {});
  config.id = id;
  return config;
}

TeleoperatorConfig leader_config(const SimulatedArm& sim, const std::string& id) {
  auto config = TeleoperatorConfig::get_choice_class(sim.type())(sim.port());
  config.id = id;
  return config;
}

class ArmPair : public ::testing::TestWithParam<std::string> {
 protected:
  test_support::CalibrationFolder folder_;
};

TEST_P(ArmPair, FollowerFollowsTheLeaderWithTorqueOnlyWhileConnected) {
  const std::string kind = GetParam();
  SimulatedArm leader_sim(kind + "_leader", LeaderMotion::scripted);
  SimulatedArm follower_sim(kind + "_follower");
  auto leader = make_teleoperator_from_config(leader_config(leader_sim, test_support::calibrate(leader_sim, "l")));
  auto robot = make_robot_from_config(follower_config(follower_sim, test_support::calibrate(follower_sim, "f")));
  leader->connect();
  robot->connect();
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_EQ(follower_sim.bus().get(j, "Torque_Enable"), 1);
    // A Koch leader's gripper holds torque: it springs back like a trigger.
    EXPECT_EQ(leader_sim.bus().get(j, "Torque_Enable"), kind == "koch" && j == 5 ? 1 : 0);
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
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_EQ(follower_sim.bus().get(j, "Torque_Enable"), 0);
    EXPECT_EQ(leader_sim.bus().get(j, "Torque_Enable"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ArmPair, ::testing::Values("so101", "koch"));

TEST(Follower, GoalsStayInRangeAndMoveInBoundedSteps) {
  test_support::CalibrationFolder folder;
  SimulatedArm sim("so100_follower");
  const auto calibration = sim.calibrate_like_the_framework();
  save_calibration(calibration_path(sim.type(), "f"), calibration);
  auto robot = make_robot_from_config(follower_config(sim, "f"));
  robot->connect();
  Action wild;
  for (const char* j : {"shoulder_pan", "shoulder_lift", "elbow_flex", "wrist_flex", "wrist_roll"}) {
    wild.set(std::string(j) + ".pos", 1e6);
  }
  wild.set("gripper.pos", -500.0);
  const auto& pan = calibration[0].second;
  const auto& grip = calibration[5].second;
  const double pan_before = (sim.present(0) - (pan.range_min + pan.range_max) / 2.0) * 360 / 4095;
  const double grip_before = (sim.present(5) - grip.range_min) * 100.0 / (grip.range_max - grip.range_min);
  const auto sent = robot->send_action(wild);
  // One step (15 degrees of horn travel) from where each joint stands.
  EXPECT_NEAR(sent.at("shoulder_pan.pos").as_double(), pan_before + 15.0, 0.2);
  EXPECT_NEAR(sent.at("gripper.pos").as_double(), grip_before - 15.0 * 4096 / 360 * 100 / (grip.range_max - grip.range_min), 0.5);
  for (int i = 0; i < 400 && (sim.present(0) < pan.range_max || sim.present(5) > grip.range_min); ++i) {
    robot->get_observation();  // as the capture loop does: observe, then act
    robot->send_action(wild);
    std::this_thread::sleep_for(5ms);
  }
  for (size_t j = 0; j < 6; ++j) {
    EXPECT_LE(sim.bus().get(j, "Goal_Position"), calibration[j].second.range_max);
    EXPECT_GE(sim.bus().get(j, "Goal_Position"), calibration[j].second.range_min);
  }
  EXPECT_EQ(sim.present(0), pan.range_max);  // it got there, step by step, and no further
  EXPECT_EQ(sim.present(5), grip.range_min);
}

TEST(Follower, ABusThatDropsOrGarblesAnswersNeverGetsAWildGoalAndEndsLimp) {
  // A failed read loses the tick: the follower keeps torque and its last
  // goal (the capture loop skips the tick), and is released at disconnect.
  test_support::CalibrationFolder folder;
  SimulatedArm leader_sim("so101_leader");
  SimulatedArm follower_sim("so101_follower");
  auto leader = make_teleoperator_from_config(leader_config(leader_sim, test_support::calibrate(leader_sim, "l")));
  const auto calibration = follower_sim.calibrate_like_the_framework();
  save_calibration(calibration_path(follower_sim.type(), "f"), calibration);
  auto robot = make_robot_from_config(follower_config(follower_sim, "f"));
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
      ++failures;  // reported; the follower keeps torque and the goal it had
      EXPECT_EQ(follower_sim.bus().get(0, "Torque_Enable"), 1);
      follower_sim.bus().drop_answers(0);
      follower_sim.bus().corrupt_answers(0);
    }
    for (size_t j = 0; j < 6; ++j) {
      ASSERT_GE(follower_sim.bus().get(j, "Goal_Position"), calibration[j].second.range_min);
      ASSERT_LE(follower_sim.bus().get(j, "Goal_Position"), calibration[j].second.range_max);
    }
  }
  EXPECT_GT(failures, 0);
  robot->disconnect();
  EXPECT_EQ(follower_sim.bus().get(0, "Torque_Enable"), 0);
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
  // A gap within the bound gives the last image again, counted; past the
  // bound an error, but not "the camera is gone"
  // (which would make the command suggest forgetting the saved cameras).
  EXPECT_EQ(camera.frames_repeated(), 0u);
  EXPECT_EQ(static_cast<int>(camera.read_latest(10s).data()[100]), 77);
  EXPECT_EQ(camera.frames_repeated(), 1u);
  std::memset(frame.mutable_data(), 78, frame.nbytes());
  writer->write(frame);
  for (int i = 0; i < 100 && camera.frames_read() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(static_cast<int>(camera.read_latest(10s).data()[100]), 78);
  EXPECT_EQ(camera.frames_repeated(), 1u);  // a new frame is no repeat
  std::this_thread::sleep_for(300ms);
  try {
    camera.read_latest(200ms);
    FAIL() << "a stale camera was not reported";
  } catch (const CameraUnavailable&) {
    FAIL() << "a slow camera was reported as gone";
  } catch (const CameraError&) {
  }
  camera.disconnect();
  EXPECT_THROW(Camera({"virtual:/nonexistent/cam", 32, 24, 30}).connect(), CameraUnavailable);
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

