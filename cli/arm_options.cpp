#include "cli/arm_options.hpp"

#include <cmath>
#include <stdexcept>

namespace tessaline::cli {
namespace {

using kit::json::Json;

std::optional<std::string> text(const Json& json, const char* key) {
  return json.contains(key) && json[key].is_string() ? std::optional<std::string>(json[key].get<std::string>())
                                                      : std::nullopt;
}

}  // namespace

Json parse_max_relative_target(const std::string& text) {
  if (text == "none" || text == "None" || text == "null") return nullptr;
  Json value;
  try {
    value = Json::parse(text);
  } catch (const nlohmann::json::exception&) {
    throw std::invalid_argument("'" + text + "' is not a number, none, or {\"motor\": number, ...}");
  }
  auto check = [](const Json& v, const std::string& what) {
    if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0) {
      throw std::invalid_argument(what + " must be a number of 0 or more");
    }
  };
  if (value.is_object()) {
    if (value.empty()) throw std::invalid_argument("name every motor with its bound");
    for (const auto& [motor, bound] : value.items()) check(bound, "the bound of " + motor);
  } else {
    check(value, "max_relative_target");
  }
  return value;
}

Json to_json(const ArmOptions& o) {
  Json out = Json::object();
  auto put = [&](const char* key, const auto& value) {
    if (value) out[key] = *value;
  };
  put("robot_type", o.robot_type);
  put("robot_id", o.robot_id);
  put("teleop_type", o.teleop_type);
  put("teleop_id", o.teleop_id);
  put("fps", o.fps);
  put("duration", o.duration);
  put("robot.max_relative_target", o.robot.max_relative_target);
  put("robot.use_degrees", o.robot.use_degrees);
  put("robot.disable_torque_on_disconnect", o.robot.disable_torque_on_disconnect);
  put("teleop.use_degrees", o.teleop.use_degrees);
  put("teleop.gripper_open_pos", o.teleop.gripper_open_pos);
  put("camera_silence_s", o.camera_silence_s);
  return out;
}

ArmOptions arm_options_from(const Json& json) {
  ArmOptions o;
  o.robot_type = text(json, "robot_type");
  o.robot_id = text(json, "robot_id");
  o.teleop_type = text(json, "teleop_type");
  o.teleop_id = text(json, "teleop_id");
  if (json.contains("fps")) o.fps = json["fps"].get<int>();
  if (json.contains("duration")) o.duration = json["duration"].get<double>();
  o.robot.max_relative_target = text(json, "robot.max_relative_target");
  auto flag = [&](const char* key) {
    return json.contains(key) ? std::optional<bool>(json[key].get<bool>()) : std::nullopt;
  };
  o.robot.use_degrees = flag("robot.use_degrees");
  o.robot.disable_torque_on_disconnect = flag("robot.disable_torque_on_disconnect");
  o.teleop.use_degrees = flag("teleop.use_degrees");
  if (json.contains("teleop.gripper_open_pos")) o.teleop.gripper_open_pos = json["teleop.gripper_open_pos"].get<double>();
  if (json.contains("camera_silence_s")) o.camera_silence_s = json["camera_silence_s"].get<double>();
  return o;
}

}  // namespace tessaline::cli
