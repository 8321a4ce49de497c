#include "studio/live/joint_names.hpp"

#include <set>

namespace studio {

std::vector<std::string> joint_names(const std::string& robot_type, size_t count) {
  static const std::vector<std::string> arm = {"shoulder_pan.pos", "shoulder_lift.pos", "elbow_flex.pos",
                                               "wrist_flex.pos",   "wrist_roll.pos",    "gripper.pos"};
  static const std::set<std::string> known = {"so100_follower", "so101_follower", "so_follower", "koch_follower",
                                              "so100_leader",   "so101_leader",   "so_leader",   "koch_leader"};
  if (known.count(robot_type) && count == arm.size()) return arm;
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) out.push_back("joint_" + std::to_string(i) + ".pos");
  return out;
}

}  // namespace studio
