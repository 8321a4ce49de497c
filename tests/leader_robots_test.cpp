// Leader detection by motion over simulated arms, and robot type inference.
#include <gtest/gtest.h>

#include "kit/console/prompt.hpp"

#include <sstream>

#include "armkit/serial/serial_port.hpp"
#include "armkit/sim/arm_sim.hpp"
#include "cli/leader_detection.hpp"
#include "cli/robots.hpp"
#include "kit/log/logger.hpp"

namespace {

using namespace tessaline::ports;

PortInfo scanned(const armkit::SimulatedArm& arm, const std::string& type) {
  PortInfo p;
  p.device = arm.port();
  p.description = "sim";
  p.motor_type = type;
  p.baudrate = 1'000'000;
  p.motor_ids = std::vector<int>{1, 2, 3, 4, 5, 6};
  return p;
}

TEST(LeaderDetection, TheArmThatMovesIsTheLeader) {
  armkit::SimulatedArm still("so101_follower");  // torque off: it stays put
  armkit::SimulatedArm moving("so101_leader", armkit::LeaderMotion::scripted);
  auto& lerobot = kit::log::get_logger("lerobot");
  lerobot.set_level(kit::log::Level::DEBUG);
  testing::internal::CaptureStdout();
  const auto [leader, follower] = detect_leader_by_motion(scanned(still, "feetech"), scanned(moving, "feetech"), 1.0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(leader.device, moving.port());
  EXPECT_EQ(follower.device, still.port());
  EXPECT_NE(out.find("Detected leader: " + moving.port()), std::string::npos) << out;
  EXPECT_EQ(lerobot.level(), kit::log::Level::DEBUG);  // restored
  lerobot.set_level(kit::log::Level::NOTSET);
}

TEST(LeaderDetection, DecisionNeedsClearlyMoreMotionThanTheThreshold) {
  EXPECT_EQ(_leader_from_motion(31, 0, 30), 0);
  EXPECT_EQ(_leader_from_motion(0, 31, 30), 1);
  EXPECT_EQ(_leader_from_motion(30, 0, 30), -1);   // equal to the threshold is no motion
  EXPECT_EQ(_leader_from_motion(500, 500, 30), -1);  // a tie picks nobody
  EXPECT_EQ(_leader_from_motion(0, 0, 30), -1);
  EXPECT_EQ(_leader_from_motion(400, 90, 30), 0);  // both moved: the larger excursion wins
}

TEST(LeaderDetection, NoEvidenceAsksTheOperator) {
  armkit::SimulatedArm a("so101_follower");
  armkit::SimulatedArm b("so101_leader", armkit::LeaderMotion::still);
  std::istringstream answers("3\n2\n");
  testing::internal::CaptureStdout();
  const auto [leader, follower] = detect_leader_by_motion(scanned(a, "feetech"), scanned(b, "feetech"), 0.0, 30, answers);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(leader.device, b.port());  // "2" after a rejected "3"
  EXPECT_NE(out.find("Could not detect motion automatically."), std::string::npos);
  EXPECT_NE(out.find("  [1] " + a.port()), std::string::npos);
  EXPECT_NE(out.find("Please select one of the available options"), std::string::npos);
}

TEST(LeaderDetection, BadInputFailsAndReleasesEverything) {
  armkit::SimulatedArm a("so101_follower");
  PortInfo untyped = scanned(a, "feetech");
  untyped.motor_type.reset();
  testing::internal::CaptureStdout();
  try {
    detect_leader_by_motion(untyped, scanned(a, "feetech"), 0.0);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Both ports must have a known motor_type before motion detection");
  }
  auto& lerobot = kit::log::get_logger("lerobot");
  lerobot.set_level(kit::log::Level::INFO);
  PortInfo gone = scanned(a, "feetech");
  gone.device = "/dev/does-not-exist";
  EXPECT_ANY_THROW(detect_leader_by_motion(scanned(a, "feetech"), gone, 0.0));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(lerobot.level(), kit::log::Level::INFO);
  EXPECT_NO_THROW(armkit::SerialPort{a.port()});  // port A was closed again
  lerobot.set_level(kit::log::Level::NOTSET);
}

TEST(RobotTypes, InferredFromTheFirstKnownMotorType) {
  PortInfo none, dxl, ft, odd;
  dxl.motor_type = "dynamixel";
  ft.motor_type = "feetech";
  odd.motor_type = "servo-x";
  testing::internal::CaptureStdout();
  const auto koch = tessaline::robots::infer_robot_type({none, odd, dxl, ft});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Detected robot type: Koch v1.1\n");
  EXPECT_EQ(koch, (std::pair<std::string, std::string>{"koch_follower", "koch_leader"}));
  EXPECT_FALSE(tessaline::robots::infer_robot_type({}));
}

TEST(RobotTypes, MenuPresetsDefaultAndFreeText) {
  std::string shown;
  auto ask = [&](const std::string& input) {
    std::istringstream in(input);
    testing::internal::CaptureStdout();
    auto r = tessaline::robots::prompt_robot_type(in);
    shown = testing::internal::GetCapturedStdout();
    return r;
  };
  EXPECT_EQ(ask("2\n"), (std::pair<std::string, std::string>{"so100_follower", "so100_leader"}));
  EXPECT_EQ(ask("\n"), (std::pair<std::string, std::string>{"so101_follower", "so101_leader"}));
  EXPECT_EQ(ask("abc\nkoch_follower\nkoch_leader\n"), (std::pair<std::string, std::string>{"koch_follower", "koch_leader"}));
  // A free-text name is checked before anything can be saved: asked again until an arm has it.
  EXPECT_EQ(ask("4\nmy_follower\nso100_leader\nso100_follower\nx\nso100_leader\n"),
            (std::pair<std::string, std::string>{"so100_follower", "so100_leader"}));
  EXPECT_NE(shown.find("unknown arm type 'my_follower'"), std::string::npos) << shown;
  EXPECT_NE(shown.find("'so100_leader' is not a follower type."), std::string::npos) << shown;
  EXPECT_NE(shown.find("unknown arm type 'x'"), std::string::npos) << shown;
  std::istringstream ends("0\nnothing\n");
  testing::internal::CaptureStdout();
  EXPECT_THROW(tessaline::robots::prompt_robot_type(ends), kit::console::EndOfInput);
  testing::internal::GetCapturedStdout();
}

}  // namespace
