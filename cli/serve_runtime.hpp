#pragma once
// `tessaline serve`: one robot set-up kept available to the backend. The
// arms are connected and the operator signed in once; then browser-driven
// sessions run back to back, each handing its camera choice to the next,
// until Ctrl+C.
#include <optional>
#include <string>
#include <vector>

#include "armkit/robots/robot.hpp"

namespace tessaline::serve_runtime {

void run_hosted_serve(const armkit::RobotConfig& robot_cfg, const armkit::TeleoperatorConfig& teleop_cfg,
                      std::optional<std::vector<std::string>> selected_cameras);

}  // namespace tessaline::serve_runtime
