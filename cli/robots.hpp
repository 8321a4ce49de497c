#pragma once
// Robot type inference and selection utilities.
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/ports.hpp"

namespace tessaline::robots {

// Motor type → (display name, robot type, teleoperator type).
extern const std::map<std::string, std::tuple<std::string, std::string, std::string>> _MOTOR_TYPE_TO_ROBOT;

// Try to infer robot/teleop type from detected motor type.
// Returns (robot_type, teleop_type) or none if unknown hardware.
std::optional<std::pair<std::string, std::string>> infer_robot_type(const std::vector<ports::PortInfo>& ports);

// Fallback: prompt user to select their robot type.
std::pair<std::string, std::string> prompt_robot_type(std::istream& answers = std::cin);

}  // namespace tessaline::robots
