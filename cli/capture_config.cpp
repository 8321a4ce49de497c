#include "cli/capture_config.hpp"

#include <stdexcept>

#include "cli/cameras.hpp"
#include "cli/console.hpp"
#include "cli/leader_detection.hpp"
#include "cli/ports.hpp"
#include "cli/robots.hpp"
#include "cli/saved_config.hpp"
#include "kit/console/markup.hpp"

namespace tessaline::cli {
namespace {

using kit::console::escape;
using kit::json::Json;

bool has_cameras(const std::optional<Json>& cameras) { return cameras && !cameras->is_null() && !cameras->empty(); }

ports::PortRoleConfig role_for(const ports::PortInfo& port) {
  std::optional<int> count;
  if (port.motor_ids) count = static_cast<int>(port.motor_ids->size());
  return {port.serial_number.value_or(""), port.device, port.motor_type.value_or(""), count};
}

// A camera setting by name; a missing or mistyped one is a clear error.
template <typename T>
T setting(const std::string& camera, const Json& settings, const char* key) {
  const auto it = settings.find(key);
  if (it == settings.end()) throw std::invalid_argument("camera '" + camera + "' has no '" + key + "' setting");
  try {
    return it->get<T>();
  } catch (const Json::exception&) {
    throw std::invalid_argument("camera '" + camera + "' has an unusable '" + key + "' setting: " + it->dump());
  }
}

}  // namespace

CaptureConfig _resolve_capture_config(std::istream& answers) {
  if (auto setup = ports::load_capture_setup()) {
    const auto [robot_port, teleop_port] = ports::resolve_setup_ports(*setup);
    if (robot_port && teleop_port) {
      console.print("[green]Using saved setup:[/green] robot=" + escape(*robot_port) + ", teleop=" + escape(*teleop_port));
      if (!has_cameras(setup->cameras)) {
        setup->cameras = cameras::detect_camera_configs();
        if (has_cameras(setup->cameras)) ports::save_capture_setup(*setup);
      }
      return {setup->robot_type, *robot_port, setup->teleop_type, *teleop_port, setup->cameras, setup->selected_cameras};
    }
    console.print("[yellow]Saved devices not connected, rescanning...[/yellow]");
  }

  const auto found = ports::find_robot_ports(std::nullopt, true);
  if (found.size() != 2) {
    console.print("[red]Found " + std::to_string(found.size()) + " motor port(s), need exactly 2 (robot + teleop).[/red]");
    throw CommandExit{2};
  }
  const auto inferred = robots::infer_robot_type(found);
  const auto [robot_type, teleop_type] = inferred ? *inferred : robots::prompt_robot_type(answers);
  const auto [leader, follower] = ports::detect_leader_by_motion(found[0], found[1], 10.0, 30, answers);
  const auto cameras = cameras::detect_camera_configs();

  ports::CaptureSetup setup;
  setup.robot_type = robot_type;
  setup.teleop_type = teleop_type;
  setup.leader = role_for(leader);
  setup.follower = role_for(follower);
  setup.cameras = cameras;
  ports::save_capture_setup(setup);
  console.print("[green]Setup saved![/green] Next time just run: [cyan]tessaline capture[/cyan]");
  return {robot_type, follower.device, teleop_type, leader.device, cameras, {}};
}

std::pair<armkit::RobotConfig, armkit::TeleoperatorConfig> _build_robot_teleop_configs(const CaptureConfig& config) {
  std::map<std::string, armkit::OpenCVCameraConfig> cameras;
  if (has_cameras(config.cameras)) {
    for (const auto& [name, settings] : config.cameras->items()) {
      armkit::OpenCVCameraConfig camera;
      // An OpenCV index is saved as a number, a device path or virtual camera as text.
      const auto id = settings.find("index_or_path");
      camera.index_or_path = id != settings.end() && id->is_number_integer()
                                 ? std::to_string(id->get<long>())
                                 : setting<std::string>(name, settings, "index_or_path");
      camera.width = setting<int>(name, settings, "width");
      camera.height = setting<int>(name, settings, "height");
      camera.fps = setting<int>(name, settings, "fps");
      cameras[name] = camera;
    }
  }
  const auto robot_class = armkit::RobotConfig::get_choice_class(config.robot_type);
  const auto teleop_class = armkit::TeleoperatorConfig::get_choice_class(config.teleop_type);
  return {robot_class(config.robot_port, cameras), teleop_class(config.teleop_port)};
}

}  // namespace tessaline::cli
