#include "cli/arm_configs.hpp"

#include <unistd.h>

#include "armkit/robots/arm_setup.hpp"
#include "cli/calibrate.hpp"
#include "cli/console.hpp"
#include "cli/saved_config.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/prompt.hpp"

namespace tessaline::cli {
namespace {

using kit::console::escape;
using kit::json::Json;

// The framework's options given on the command line, with its meanings.
void apply_arm_options(const ArmOptions& options, armkit::RobotConfig& robot, armkit::TeleoperatorConfig& teleop) {
  if (options.robot.max_relative_target) {
    const Json bound = parse_max_relative_target(*options.robot.max_relative_target);
    if (bound.is_null()) {
      robot.max_step_degrees = 0;  // none: goals are sent as they come, as the framework does by default
    } else {
      armkit::MaxRelativeTarget target;
      if (bound.is_number()) {
        target.all = bound.get<double>();
      } else {
        for (const auto& [motor, value] : bound.items()) {
          // "<motor>.pos" is how actions name them; the framework keys the bounds by motor.
          const std::string name = motor.ends_with(".pos") ? motor.substr(0, motor.size() - 4) : motor;
          target.per_motor[name] = value.template get<double>();
        }
      }
      robot.max_relative_target = target;
    }
  }
  if (options.robot.use_degrees) robot.use_degrees = options.robot.use_degrees;
  if (options.robot.disable_torque_on_disconnect) robot.disable_torque_on_disconnect = *options.robot.disable_torque_on_disconnect;
  if (options.camera_silence_s) {
    robot.camera_silence_limit = std::chrono::milliseconds(static_cast<long>(*options.camera_silence_s * 1000));
  }
  if (options.teleop.use_degrees) teleop.use_degrees = options.teleop.use_degrees;
  if (options.teleop.gripper_open_pos) teleop.gripper_open_pos = *options.teleop.gripper_open_pos;
}

}  // namespace

std::string calibrate_command(const std::string& type, const std::optional<std::string>& id) {
  const std::string role = type.ends_with("_follower") ? "robot" : "teleop";
  return "tessaline calibrate --" + role + ".type " + type + (id ? " --" + role + ".id " + *id : "");
}

armkit::CalibrationHandler calibration_handler(std::istream& answers) {
  return [&answers](armkit::ServoArm& arm, const armkit::CalibrationProblem& problem) {
    const std::string fix = "Run `" + calibrate_command(problem.type, problem.id) + "` to calibrate it" +
                            (problem.file_found ? ", or check that the file belongs to this arm." : ".");
    if (!isatty(STDIN_FILENO)) throw armkit::CalibrationError(problem, describe(problem) + ".\n" + fix);
    console.print("\n[yellow]" + escape(describe(problem)) + ".[/yellow]");
    std::vector<std::string> allowed{"2", "0"};
    if (problem.file_found) {
      console.print("  [1] Write the calibration file into the servos");
      allowed.insert(allowed.begin(), "1");
    }
    console.print("  [2] Calibrate now");
    console.print("  [0] Stop");
    const std::string answer = kit::console::ask(console, "Enter number", {allowed, std::nullopt, false}, answers);
    if (answer == "1") {
      armkit::write_calibration(arm.bus(), *arm.calibration());
      console.print("[green]Calibration written to the servos.[/green]");
    } else if (answer == "2") {
      calibrate_arm_on_terminal(arm);
    } else {
      throw armkit::CalibrationError(problem, describe(problem) + ".\n" + fix);
    }
  };
}

std::optional<std::string> calibration_id_for(const std::string& type, const std::string& port) {
  if (armkit::find_calibration(type, "None")) return std::nullopt;
  for (const auto& [id, record] : ports::list_saved_configs()) {
    if (record.port == port && armkit::find_calibration(type, id)) return id;
  }
  return std::nullopt;
}

std::pair<armkit::RobotConfig, armkit::TeleoperatorConfig> arm_configs(const CaptureConfig& config,
                                                                        const ArmOptions& options,
                                                                        std::istream& answers) {
  auto [robot, teleop] = _build_robot_teleop_configs(config);
  // A port `configure` saved for the id names that arm's port.
  if (options.robot_id) {
    if (const auto port = ports::get_port_for_robot(*options.robot_id)) robot.port = *port;
  }
  if (options.teleop_id) {
    if (const auto port = ports::get_port_for_robot(*options.teleop_id)) teleop.port = *port;
  }
  robot.id = options.robot_id ? options.robot_id : calibration_id_for(robot.type, robot.port);
  teleop.id = options.teleop_id ? options.teleop_id : calibration_id_for(teleop.type, teleop.port);
  robot.on_calibration_problem = calibration_handler(answers);
  teleop.on_calibration_problem = calibration_handler(answers);
  apply_arm_options(options, robot, teleop);
  return {robot, teleop};
}

}  // namespace tessaline::cli
