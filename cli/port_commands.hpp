#pragma once
// The console dialogues for saved robot ports: `configure` and `show-config`.
#include <iostream>
#include <optional>
#include <string>

#include "cli/saved_config.hpp"

namespace tessaline::ports {

// Interactively help user select and save a port for their robot.
std::optional<RobotPortConfig> interactive_port_selection(const std::string& robot_id,
                                                          const std::optional<std::string>& motor_type = std::nullopt,
                                                          std::istream& answers = std::cin);

// Display all saved port configurations.
void show_saved_configs();

}  // namespace tessaline::ports
