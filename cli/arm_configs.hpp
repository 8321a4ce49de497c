#pragma once
// The arms as capture, serve, calibrate and teleoperate drive them: the
// ports capture resolves (or the port `configure` saved for an id), the
// calibration each arm runs on, and what happens when the servos do not
// hold it (asked on a terminal; otherwise a stop that says how to fix it).
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "armkit/robots/robot.hpp"
#include "cli/arm_options.hpp"
#include "cli/capture_config.hpp"

namespace tessaline::cli {

// The command that calibrates this arm, e.g.
// "tessaline calibrate --robot.type so101_follower --robot.id left".
std::string calibrate_command(const std::string& type, const std::optional<std::string>& id);

// On a terminal: say what is wrong and offer to write the file into the
// servos, to calibrate now, or to stop. Otherwise: stop with the command
// that fixes it.
armkit::CalibrationHandler calibration_handler(std::istream& answers = std::cin);

// The calibration id of an arm when none was given: the framework's unnamed
// arm ("None") when it has a file, else an id saved by `configure` for this
// port that has one; nothing otherwise.
std::optional<std::string> calibration_id_for(const std::string& type, const std::string& port);

// Follower and leader configurations for a resolved capture configuration.
std::pair<armkit::RobotConfig, armkit::TeleoperatorConfig> arm_configs(const CaptureConfig& config,
                                                                        const ArmOptions& options,
                                                                        std::istream& answers = std::cin);

}  // namespace tessaline::cli
