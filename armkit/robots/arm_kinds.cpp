#include "armkit/robots/arm_kinds.hpp"

#include <map>
#include <stdexcept>

namespace armkit {
namespace {

std::vector<std::pair<std::string, Motor>> joints(const std::vector<std::string>& models) {
  static const char* names[] = {"shoulder_pan", "shoulder_lift", "elbow_flex", "wrist_flex", "wrist_roll", "gripper"};
  std::vector<std::pair<std::string, Motor>> out;
  for (size_t i = 0; i < 6; ++i) out.push_back({names[i], Motor{static_cast<uint8_t>(i + 1), models[i]}});
  return out;
}

const std::map<std::string, ArmKind>& specs() {
  static const std::map<std::string, ArmKind> table = [] {
    const std::vector<std::string> sts(6, "sts3215");
    const ArmKind feetech{ServoFamily::feetech, joints(sts)};
    const ArmKind koch_follower{ServoFamily::dynamixel,
                                joints({"xl430-w250", "xl430-w250", "xl330-m288", "xl330-m288", "xl330-m288",
                                        "xl330-m288"})};
    const ArmKind koch_leader{ServoFamily::dynamixel, joints(std::vector<std::string>(6, "xl330-m077"))};
    return std::map<std::string, ArmKind>{
        {"so100_follower", feetech}, {"so101_follower", feetech}, {"so100_leader", feetech},
        {"so101_leader", feetech},   {"koch_follower", koch_follower}, {"koch_leader", koch_leader},
    };
  }();
  return table;
}

}  // namespace

const ArmKind& arm_kind(const std::string& type) {
  const auto it = specs().find(type);
  if (it == specs().end()) {
    throw std::invalid_argument("unknown arm type '" + type +
                                "' (known: so100_follower, so101_follower, koch_follower, so100_leader, "
                                "so101_leader, koch_leader)");
  }
  return it->second;
}

}  // namespace armkit
