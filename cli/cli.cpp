#include "cli/cli.hpp"

#include <CLI/CLI.hpp>

#include "cli/cameras.hpp"
#include "cli/capture.hpp"
#include "cli/capture_config.hpp"
#include "cli/console.hpp"
#include "cli/port_commands.hpp"
#include "cli/ports.hpp"
#include "cli/saved_config.hpp"
#include "cli/serve_runtime.hpp"

#include <filesystem>
#include "kit/console/markup.hpp"
#include "kit/log/logger.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::cli {

kit::console::Console console;

void setup_logging(bool debug) {
  using kit::log::Level;
  const Level level = debug ? Level::DEBUG : Level::INFO;
  kit::log::basic_config(level, debug ? "%(levelname)s [%(name)s]: %(message)s" : "%(levelname)s: %(message)s");
  if (!debug) kit::log::get_logger("lerobot").set_level(Level::WARNING);
}

void main_callback(bool debug) {
  setup_logging(debug);
  check_for_updates();
}

namespace {

// Capture robot teleoperation data.
void capture() {
  const CaptureConfig config = _resolve_capture_config();
  const auto [robot_cfg, teleop_cfg] = _build_robot_teleop_configs(config);
  capture::teleoperate({.teleop = teleop_cfg, .robot = robot_cfg, .teleop_time_s = std::nullopt, .selected_cameras = config.selected_cameras});
}

// Start always-on serve mode using hosted Tessaline backend.
void serve() {
  const CaptureConfig config = _resolve_capture_config();
  const auto [robot_cfg, teleop_cfg] = _build_robot_teleop_configs(config);
  serve_runtime::run_hosted_serve(robot_cfg, teleop_cfg, config.selected_cameras);
}

// List available serial ports and scan for connected motors.
void list_ports() { ports::find_robot_ports(std::nullopt, true); }

// Reset saved configuration (setup.json).
void reset(bool cameras, bool ports_too) {
  const auto path = ports::get_setup_config_path();
  if (!std::filesystem::exists(path)) {
    console.print("[yellow]No saved configuration found.[/yellow]");
    return;
  }
  const bool reset_all = !cameras && !ports_too;
  if (reset_all || ports_too) {
    std::filesystem::remove(path);
    console.print("[green]Configuration reset.[/green] Hardware will be re-detected on next capture.");
    return;
  }
  auto setup = ports::load_capture_setup();
  if (!setup) {
    console.print("[yellow]No saved configuration found.[/yellow]");
    return;
  }
  setup->cameras.reset();
  setup->selected_cameras.clear();
  ports::save_capture_setup(*setup);
  console.print("[green]Camera configuration reset.[/green] Cameras will be re-detected on next capture.");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tessaline CLI - Robot teleoperation and data collection", "tessaline"};
  bool debug = false;
  app.add_flag("--debug", debug, "Enable debug logging")->group("");
  auto* capture_cmd = app.add_subcommand("capture", "Capture robot teleoperation data.");
  capture_cmd->footer("Example:\n    uv run tessaline capture");
  auto* list_ports_cmd = app.add_subcommand("list-ports", "List available serial ports and scan for connected motors.");
  auto* list_cameras_cmd = app.add_subcommand("list-cameras", "List available cameras.");
  auto* configure_cmd = app.add_subcommand("configure", "Configure and save port for a robot ID.");
  configure_cmd->footer(
      "Interactively discovers available ports, scans for motors, and saves\n"
      "the configuration so you don't need to specify --robot.port every time.");
  std::string robot_id;
  configure_cmd->add_option("robot_id", robot_id, "Robot ID (e.g., 'my_follower')")->required();
  auto* show_config_cmd = app.add_subcommand("show-config", "Show saved port configurations.");
  auto* reset_cmd = app.add_subcommand("reset", "Reset saved configuration (setup.json).");
  reset_cmd->footer(
      "With no flags, resets everything. Use --cameras or --ports to reset\n"
      "only specific parts.\n\n"
      "Examples:\n"
      "    tessaline reset            # reset everything\n"
      "    tessaline reset --cameras  # re-detect cameras on next capture\n"
      "    tessaline reset --ports    # re-detect robot ports on next capture");
  bool reset_cameras = false, reset_ports = false;
  reset_cmd->add_flag("--cameras", reset_cameras, "Reset camera configuration");
  reset_cmd->add_flag("--ports", reset_ports, "Reset port/robot configuration");
  auto* serve_cmd = app.add_subcommand("serve", "Start always-on serve mode using hosted Tessaline backend.");
  serve_cmd->footer(
      "Uses VELQUIN_HTTP_SERVER for WebRTC signaling/session APIs and\n"
      "VELQUIN_GRPC_SERVER for Arrow Flight logging.\n\n"
      "Example:\n"
      "    tessaline serve");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  main_callback(debug);
  try {
    if (capture_cmd->parsed()) {
      capture();
      return 0;
    }
    if (serve_cmd->parsed()) {
      serve();
      return 0;
    }
    if (list_ports_cmd->parsed()) {
      list_ports();
      return 0;
    }
    if (reset_cmd->parsed()) {
      reset(reset_cameras, reset_ports);
      return 0;
    }
    if (list_cameras_cmd->parsed()) {
      cameras::detect_camera_configs();
      return 0;
    }
    if (configure_cmd->parsed()) {
      ports::interactive_port_selection(robot_id);
      return 0;
    }
    if (show_config_cmd->parsed()) {
      ports::show_saved_configs();
      return 0;
    }
  } catch (const CommandExit& e) {
    return e.code;
  } catch (const kit::Interrupted&) {
    std::fputs("\nInterrupted\n", stderr);
    return 130;
  } catch (const std::exception& e) {
    // Unhandled failures end the command with a report, not an abort.
    kit::console::Console err(stderr);
    err.print("[red]Error:[/red] " + kit::console::escape(e.what()));
    return 1;
  }
  std::fputs(app.help().c_str(), stdout);  // no sub-command: say what there is
  return 0;
}

}  // namespace tessaline::cli
