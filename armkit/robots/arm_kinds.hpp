#pragma once
// The arm kinds: family, joints with their motors, and the registers used.
#include <string>
#include <utility>
#include <vector>

#include "armkit/bus/motors_bus.hpp"

namespace armkit {

struct ArmKind {
  ServoFamily family;
  std::vector<std::pair<std::string, Motor>> joints;
  uint16_t torque_enable;
  uint16_t goal_position;
  uint16_t present_position;
  int position_size;  // bytes
};

// Throws std::invalid_argument naming the known types.
const ArmKind& arm_kind(const std::string& type);

}  // namespace armkit
