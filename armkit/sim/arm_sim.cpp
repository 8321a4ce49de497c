#include "armkit/sim/arm_sim.hpp"

#include <cmath>

#include "armkit/robots/arm_kinds.hpp"

namespace armkit {
namespace {

constexpr double kFollowerStepsPerSecond = 3000;  // about 260 degrees a second
constexpr double kHandSway = 400;                 // steps either side of the middle

// How far each joint's physical middle sits from the horn's centre: every
// arm is assembled a little differently.
constexpr int kLeaderMiddles[6] = {310, -420, 560, -250, 180, -330};
constexpr int kFollowerMiddles[6] = {-270, 450, -510, 360, -140, 290};
// Travel either side of the middle that a calibration records, per joint.
constexpr int kTravel[6] = {900, 1000, 950, 850, 2048, 600};

// Supply voltage as the servo reports it: SO leaders run on 5–7 V, SO
// followers on 12 V; the Koch arms on 5 V.
int32_t supply_tenths_of_volts(const std::string& type, bool follower) {
  if (type.starts_with("koch")) return 50;
  return follower ? 121 : 66;
}

}  // namespace

SimulatedArm::SimulatedArm(const std::string& type, LeaderMotion motion, int baudrate)
    : type_(type), follower_(type.ends_with("_follower")) {
  const ArmKind& spec = arm_kind(type);
  std::vector<SimulatedServo> servos;
  for (const auto& [name, motor] : spec.joints) servos.push_back({motor.id, motor.model});
  bus_ = std::make_unique<SimulatedBus>(spec.family, baudrate, servos);
  bus_->set_speed(kFollowerStepsPerSecond);
  const char* voltage = spec.family == ServoFamily::feetech ? "Present_Voltage" : "Present_Input_Voltage";
  for (size_t j = 0; j < servos.size(); ++j) {
    bus_->set(j, voltage, supply_tenths_of_volts(type, follower_), false);
    bus_->set(j, "Present_Temperature", 31, false);
    bus_->set_actual(j, physical_middle(j));
  }
  set_motion(motion);
}

double SimulatedArm::physical_middle(size_t joint) const {
  return 2048.0 + (follower_ ? kFollowerMiddles : kLeaderMiddles)[joint];
}

void SimulatedArm::set_motion(LeaderMotion motion) {
  if (follower_) return;
  motion_ = motion;
  for (size_t j = 0; j < bus_->size(); ++j) release(j);
}

void SimulatedArm::hold(size_t joint, int32_t reading) {
  const double at = bus_->actual_for_present(joint, reading);
  bus_->set_hand(joint, [at](double) { return at; });
}

void SimulatedArm::release(size_t joint) {
  if (follower_ || motion_ == LeaderMotion::still) {
    bus_->set_hand(joint, nullptr);
    return;
  }
  // Each joint sways on its own slow rhythm, like an operator's hand.
  const double middle = physical_middle(joint);
  bus_->set_hand(joint, [middle, joint](double t) {
    return middle + std::round(kHandSway * std::sin(0.8 * t + 0.9 * static_cast<double>(joint)));
  });
}

int32_t SimulatedArm::present(size_t joint) const { return bus_->get(joint, "Present_Position"); }
double SimulatedArm::actual(size_t joint) const { return bus_->actual(joint); }

Calibration SimulatedArm::calibrate_like_the_framework() {
  const ArmKind& spec = arm_kind(type_);
  const bool dynamixel = spec.family == ServoFamily::dynamixel;
  Calibration out;
  for (size_t j = 0; j < spec.joints.size(); ++j) {
    const auto& [name, motor] = spec.joints[j];
    MotorCalibration c;
    c.id = motor.id;
    c.drive_mode = type_ == "koch_leader" && name == "elbow_flex" ? 1 : 0;
    // Half-turn homing: the middle of the travel reads 2047 afterwards.
    const long middle = std::lround(physical_middle(j));
    if (dynamixel) {
      const long reading = c.drive_mode ? -middle : middle;
      c.homing_offset = static_cast<int>(2047 - reading);
    } else {
      c.homing_offset = static_cast<int>(middle - 2047);
    }
    if (full_turn_joint(type_, name)) {
      c.range_min = 0;
      c.range_max = 4095;
    } else {
      c.range_min = 2047 - kTravel[j];
      c.range_max = 2047 + kTravel[j];
    }
    if (dynamixel) {
      bus_->set(j, "Operating_Mode", 4);  // extended position, as the framework sets Koch arms
      bus_->set(j, "Drive_Mode", c.drive_mode);
    }
    bus_->set(j, "Homing_Offset", c.homing_offset);
    bus_->set(j, "Min_Position_Limit", c.range_min);
    bus_->set(j, "Max_Position_Limit", c.range_max);
    out.emplace_back(name, c);
  }
  return out;
}

}  // namespace armkit
