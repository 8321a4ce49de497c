#include "armkit/sim/arm_sim.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "armkit/protocol/packets.hpp"
#include "armkit/robots/arm_kinds.hpp"

namespace armkit {
namespace {

constexpr int32_t kMid = 2048;
constexpr double kFollowerStepsPerSecond = 3000;  // about 260 degrees a second
constexpr auto kTick = std::chrono::milliseconds(5);

uint16_t model_number(const std::string& model) {
  if (model == "sts3215") return 777;
  if (model == "xl430-w250") return 1060;
  if (model == "xl330-m288") return 1200;
  return 1190;  // xl330-m077
}

}  // namespace

SimulatedArm::SimulatedArm(const std::string& type, LeaderMotion motion, int baudrate)
    : type_(type), follower_(type.find("_follower") != std::string::npos), motion_(motion) {
  const ArmKind& spec = arm_kind(type);
  std::vector<SimulatedServo> servos;
  for (const auto& [name, motor] : spec.joints) servos.push_back({motor.id, model_number(motor.model)});
  bus_ = std::make_unique<SimulatedBus>(spec.family, baudrate, servos);
  for (const auto& [name, motor] : spec.joints) {
    bus_->write_register(motor.id, spec.present_position, kMid, spec.position_size);
    bus_->write_register(motor.id, spec.goal_position, kMid, spec.position_size);
  }
  physics_ = std::thread([this] {
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    while (!stop_) {
      std::this_thread::sleep_for(kTick);
      const auto now = std::chrono::steady_clock::now();
      step(std::chrono::duration<double>(now - start).count(), std::chrono::duration<double>(now - last).count());
      last = now;
    }
  });
}

SimulatedArm::~SimulatedArm() {
  stop_ = true;
  physics_.join();
}

int32_t SimulatedArm::present(size_t joint) const {
  const ArmKind& spec = arm_kind(type_);
  const uint32_t raw = bus_->read_register(spec.joints.at(joint).second.id, spec.present_position, spec.position_size);
  return spec.family == ServoFamily::feetech ? decode_sign_magnitude(raw, 15) : static_cast<int32_t>(raw);
}

void SimulatedArm::step(double t, double dt) {
  const ArmKind& spec = arm_kind(type_);
  const bool feetech = spec.family == ServoFamily::feetech;
  auto encode = [&](int32_t v) { return feetech ? encode_sign_magnitude(v, 15) : static_cast<uint32_t>(v); };
  for (size_t j = 0; j < spec.joints.size(); ++j) {
    const uint8_t id = spec.joints[j].second.id;
    int32_t present = this->present(j);
    if (follower_) {
      if (bus_->read_register(id, spec.torque_enable, 1) == 0) continue;  // limp: stays where it is
      const uint32_t goal_raw = bus_->read_register(id, spec.goal_position, spec.position_size);
      const int32_t goal = feetech ? decode_sign_magnitude(goal_raw, 15) : static_cast<int32_t>(goal_raw);
      const auto max_move = static_cast<int32_t>(std::max(1.0, kFollowerStepsPerSecond * dt));
      present += std::clamp(goal - present, -max_move, max_move);
    } else if (motion_ == LeaderMotion::scripted) {
      // Each joint sways on its own slow rhythm, like an operator's hand.
      present = kMid + static_cast<int32_t>(std::lround(400 * std::sin(0.8 * t + 0.9 * static_cast<double>(j))));
    }
    bus_->write_register(id, spec.present_position, encode(present), spec.position_size);
  }
}

}  // namespace armkit
