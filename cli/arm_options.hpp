#pragma once
// Options of the sub-commands that drive arms (capture, serve, calibrate,
// teleoperate), as the command hands them to the capture runtime.
#include <optional>
#include <string>

#include "kit/json/text.hpp"

namespace tessaline::cli {

struct ArmOptions {
  std::optional<std::string> robot_type, robot_id, teleop_type, teleop_id;
  std::optional<int> fps;
  std::optional<double> duration;
};
kit::json::Json to_json(const ArmOptions& options);
ArmOptions arm_options_from(const kit::json::Json& json);

}  // namespace tessaline::cli
