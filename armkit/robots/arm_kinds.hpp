#pragma once
// The arm kinds: servo family and the joints with their motors.
#include <string>
#include <utility>
#include <vector>

#include "armkit/bus/motors_bus.hpp"

namespace armkit {

struct ArmKind {
  ServoFamily family;
  std::vector<std::pair<std::string, Motor>> joints;  // in id order
};

// Throws std::invalid_argument naming the known types.
const ArmKind& arm_kind(const std::string& type);

}  // namespace armkit
