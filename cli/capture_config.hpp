#pragma once
// Which ports, arm types and cameras a capture or serve run uses: the saved
// setup of an earlier run when its devices are plugged in, otherwise a fresh
// discovery (scan, type, leader by motion, cameras) that is then saved.
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "armkit/robots/robot.hpp"
#include "cli/command_errors.hpp"
#include "kit/json/text.hpp"

namespace tessaline::cli {

// Structured result from auto-detection / saved setup resolution.
struct CaptureConfig {
  std::string robot_type;
  std::string robot_port;
  std::string teleop_type;
  std::string teleop_port;
  std::optional<kit::json::Json> cameras;  // camera name → {"index_or_path", "width", "height", "fps", ...}
  std::vector<std::string> selected_cameras;
};

// Resolve capture config from saved setup or hardware discovery. Prints,
// may ask questions (read from `answers`); throws CommandExit{2} when
// discovery does not find exactly two motor ports.
CaptureConfig _resolve_capture_config(std::istream& answers = std::cin);

// Build lerobot config objects from the resolved capture config.
// Throws std::invalid_argument for an unknown type or incomplete camera settings.
std::pair<armkit::RobotConfig, armkit::TeleoperatorConfig> _build_robot_teleop_configs(const CaptureConfig& config);

}  // namespace tessaline::cli
