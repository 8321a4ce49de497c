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
  std::optional<double> camera_silence_s;  // a camera silent this long ends the run
  // The robot framework's arm options, as given on the command line.
  struct Robot {
    std::optional<std::string> max_relative_target;  // a number, "none", or {"motor": number, ...}
    std::optional<bool> use_degrees;
    std::optional<bool> disable_torque_on_disconnect;
  } robot;
  struct Teleop {
    std::optional<bool> use_degrees;
    std::optional<double> gripper_open_pos;
  } teleop;
};
kit::json::Json to_json(const ArmOptions& options);
// --robot.max_relative_target as given: nothing for "none" (no bound), a
// number for every joint, or an object of motor → number. Throws
// std::invalid_argument with what is wrong.
kit::json::Json parse_max_relative_target(const std::string& text);
ArmOptions arm_options_from(const kit::json::Json& json);

}  // namespace tessaline::cli
