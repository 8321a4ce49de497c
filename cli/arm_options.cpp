#include "cli/arm_options.hpp"

namespace tessaline::cli {
namespace {

using kit::json::Json;

std::optional<std::string> text(const Json& json, const char* key) {
  return json.contains(key) && json[key].is_string() ? std::optional<std::string>(json[key].get<std::string>())
                                                      : std::nullopt;
}

}  // namespace

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
  return o;
}

}  // namespace tessaline::cli
