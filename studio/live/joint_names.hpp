#pragma once
// The names of a robot's joint values, as datasets and the live plots show them.
#include <string>
#include <vector>

namespace studio {

// The arms this system knows get their motors' names ("shoulder_pan.pos",
// ...); any other robot "joint_<i>.pos".
std::vector<std::string> joint_names(const std::string& robot_type, size_t count);

}  // namespace studio
