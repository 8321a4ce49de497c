#include "cli/serve_runtime.hpp"

#include "cli/capture.hpp"
#include "cli/studio_check.hpp"
#include "kit/log/logger.hpp"
#include "kit/loop/interrupt.hpp"
#include "tessaline/auth.hpp"
#include "tessaline/config.hpp"

namespace tessaline::serve_runtime {

void run_hosted_serve(const armkit::RobotConfig& robot_cfg, const armkit::TeleoperatorConfig& teleop_cfg,
                      std::optional<std::vector<std::string>> selected_cameras) {
  auto& root = kit::log::get_logger();
  kit::install_interrupt_handler();
  armkit::init_logging();
  auto teleop = armkit::make_teleoperator_from_config(teleop_cfg);
  auto robot = armkit::make_robot_from_config(robot_cfg);
  const armkit::Processors processors = armkit::make_default_processors();
  teleop->connect();
  robot->connect();
  const auto camera_names = capture::camera_track_names(*robot);
  const std::string rule(60, '=');
  root.info("\n{}\n  tessaline serve\n  HTTP  : {}\n  Flight: {}\n{}", rule, config::VELQUIN_HTTP_SERVER,
            config::VELQUIN_GRPC_SERVER, rule);
  capture::say_if_studio_silent();
  const std::string user_id = authenticate_with_browser(config::STUDIO_URL, 8765);

  const capture::ReleaseArms release(*teleop, *robot);  // from here on, on every way out
  try {
    for (;;) {
      root.info("Waiting for browser connection via {}", config::VELQUIN_HTTP_SERVER);
      selected_cameras = capture::run_session(*robot, *teleop, processors, camera_names, selected_cameras,
                                              std::nullopt, user_id);
      root.info("Session ended. Waiting for next browser connection...");
    }
  } catch (const kit::Interrupted&) {
    root.info("Shutting down...");
  }
}

}  // namespace tessaline::serve_runtime
