// The entry of libtessaline_runtime.so: the sub-commands that need cameras,
// robots and sessions. The module has its own copies of the lower layers,
// so it sets up its own logging the way the command did.
#include <stdexcept>
#include <string>

#include "cli/arm_configs.hpp"
#include "cli/calibrate.hpp"
#include "cli/cameras.hpp"
#include "cli/capture.hpp"
#include "cli/capture_config.hpp"
#include "cli/cli.hpp"
#include "cli/command_errors.hpp"
#include "cli/console.hpp"
#include "cli/serve_runtime.hpp"
#include "cli/teleoperate_command.hpp"

namespace tessaline::cli {
namespace {

// Cameras saved by an earlier run may be gone; say how to start afresh. A
// camera that is only slow gets no such advice: it would throw away a good
// setup.
template <typename Command>
void hinting_at_saved_cameras(Command&& command) {
  try {
    command();
  } catch (const armkit::CameraUnavailable& e) {
    throw std::runtime_error(std::string(e.what()) +
                             "\nIf the cameras changed, run `tessaline reset --cameras` to detect them again.");
  }
}

// Capture robot teleoperation data.
void capture(const ArmOptions& options) {
  const CaptureConfig config = _resolve_capture_config();
  const auto [robot_cfg, teleop_cfg] = arm_configs(config, options);
  capture::teleoperate(
      {.teleop = teleop_cfg, .robot = robot_cfg, .teleop_time_s = std::nullopt, .selected_cameras = config.selected_cameras});
}

// Start always-on serve mode using hosted Tessaline backend.
void serve(const ArmOptions& options) {
  const CaptureConfig config = _resolve_capture_config();
  const auto [robot_cfg, teleop_cfg] = arm_configs(config, options);
  serve_runtime::run_hosted_serve(robot_cfg, teleop_cfg, config.selected_cameras);
}

}  // namespace
}  // namespace tessaline::cli

extern "C" __attribute__((visibility("default"))) int tessaline_runtime_main(const char* command, int debug,
                                                                            const char* options_json) {
  using namespace tessaline::cli;
  setup_logging(debug != 0);
  const std::string name = command;
  return run_reporting_errors([&] {
    const ArmOptions options = arm_options_from(kit::json::Json::parse(options_json));
    if (name == "capture") {
      hinting_at_saved_cameras([&] { capture(options); });
    } else if (name == "serve") {
      hinting_at_saved_cameras([&] { serve(options); });
    } else if (name == "teleoperate") {
      run_teleoperate(options);
    } else if (name == "calibrate") {
      run_calibrate(options);
    } else if (name == "list-cameras") {
      if (!tessaline::cameras::detect_camera_configs()) {
        console.print("[yellow]No cameras found.[/yellow]");
        console.print("Check that a camera is plugged in (ls -l /dev/video*), that you may use it (your user "
                      "needs to be in the video group: sudo usermod -aG video $USER, then log in again), and that "
                      "no other program has it open.");
      }
    } else {
      throw std::invalid_argument("the capture runtime has no command '" + name + "'");
    }
  });
}
