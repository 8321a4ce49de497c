#include "cli/capture.hpp"

#include <algorithm>

#include "cli/command_errors.hpp"
#include "cli/saved_config.hpp"
#include "cli/studio_check.hpp"
#include "cli/teleop_loop.hpp"
#include "kit/json/text.hpp"
#include "kit/log/logger.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::capture {
namespace {

kit::log::Logger& logger() { return kit::log::get_logger("tessaline.capture"); }

std::vector<std::string> as_keys(const Json& selection) {
  std::vector<std::string> keys;
  if (!selection.is_array()) return keys;
  for (const auto& key : selection) {
    if (key.is_string()) keys.push_back(key.get<std::string>());
  }
  return keys;
}

Json describe(const TeleoperateConfig& cfg) {
  Json cameras = Json::object();
  for (const auto& [name, c] : cfg.robot.cameras) {
    cameras[name] = {{"index_or_path", c.index_or_path}, {"width", c.width}, {"height", c.height}, {"fps", c.fps}};
  }
  return {{"teleop", {{"type", cfg.teleop.type}, {"port", cfg.teleop.port}}},
          {"robot", {{"type", cfg.robot.type}, {"port", cfg.robot.port}, {"cameras", cameras}}},
          {"teleop_time_s", cfg.teleop_time_s ? Json(*cfg.teleop_time_s) : Json()},
          {"use_webrtc", cfg.use_webrtc},
          {"webrtc_server_url", cfg.webrtc_server_url},
          {"repo_id", cfg.repo_id},
          {"selected_cameras", cfg.selected_cameras}};
}

}  // namespace

int session_fps(const armkit::RobotConfig& robot_config) {
  std::vector<int> cam_fps;
  for (const auto& [name, camera] : robot_config.cameras) {
    if (camera.fps != 0) cam_fps.push_back(camera.fps);
  }
  if (cam_fps.empty()) {
    logger().warning("No camera frame rate set. Using 30.");
    return 30;
  }
  const int lowest = *std::min_element(cam_fps.begin(), cam_fps.end());
  if (std::any_of(cam_fps.begin(), cam_fps.end(), [&](int f) { return f != lowest; })) {
    logger().warning("Cameras have different FPS values: {}. Using minimum ({}) to avoid dropping frames.",
                     kit::json::py_repr(Json(cam_fps)), lowest);
  }
  return lowest;
}

std::vector<std::string> camera_track_names(const armkit::Robot& robot) {
  std::vector<std::string> names;
  for (const auto& [key, camera] : robot.cameras) names.push_back(kCameraKeyPrefix + key);
  return names;
}

std::string _wait_for_command(VelquinSession& session, armkit::Robot& robot, const armkit::Processors& processors,
                              const std::set<std::string>& accept) {
  for (;;) {
    const auto cmd = session.wait_for_command(0.01);
    if (cmd && (accept.count(*cmd) || *cmd == "end")) return *cmd;
    if (!session.is_connected()) return "end";
    _stream_preview_frames(robot, processors, session);
  }
}

std::optional<std::vector<std::string>> _run_camera_selection(const TeleoperateConfig& cfg, VelquinSession& session,
                                                              armkit::Robot& robot,
                                                              const armkit::Processors& processors,
                                                              const std::vector<std::string>& camera_names) {
  if (camera_names.empty() || !cfg.selected_cameras.empty()) return cfg.selected_cameras;
  session.send_status("camera_selection", {{"cameras", camera_names}, {"selected", camera_names}});
  logger().info("Waiting for camera selection from browser...");
  if (_wait_for_command(session, robot, processors, {"select_cameras"}) == "end") return std::nullopt;
  const auto selected = as_keys(session.get_camera_selection());
  logger().info("Cameras selected: {}", kit::json::py_repr(Json(selected)));
  if (auto setup = ports::load_capture_setup()) {
    setup->selected_cameras = selected;
    ports::save_capture_setup(*setup);
  }
  return selected;
}

std::optional<std::vector<std::string>> run_session(
    armkit::Robot& robot, armkit::Teleoperator& teleop, const armkit::Processors& processors,
    const std::vector<std::string>& camera_names, std::optional<std::vector<std::string>> selected_cameras,
    std::optional<double> duration, std::optional<std::string> user_id, bool* failed) {
  const int camera_fps = session_fps(robot.config);
  logger().info("Using camera FPS: {}", camera_fps);
  const std::string robot_type = robot.name.empty() ? "unknown" : robot.name;
  VelquinSession session(camera_names, "teleoperation", robot_type, camera_fps, "", user_id);
  if (!session.connect(600.0)) {
    logger().warning("Connection timeout");
    return std::nullopt;
  }
  logger().info("Browser connected");

  if (!selected_cameras || selected_cameras->empty()) {
    const TeleoperateConfig cfg{.teleop = teleop.config,
                                .robot = robot.config,
                                .teleop_time_s = std::nullopt,
                                .selected_cameras = selected_cameras.value_or(std::vector<std::string>{})};
    selected_cameras = _run_camera_selection(cfg, session, robot, processors, camera_names);
    if (!selected_cameras) {
      session.close();
      return std::nullopt;
    }
  }

  bool export_dataset = false;
  long episode_count = 0;
  Json waiting_note;  // why the last episode was not saved, told with the next "waiting"
  try {
    for (;;) {
      Json waiting{{"episode", episode_count}};
      if (!waiting_note.is_null()) waiting["message"] = std::exchange(waiting_note, Json());
      session.send_status("waiting", waiting);
      if (_wait_for_command(session, robot, processors, {"start"}) == "end") {
        export_dataset = true;
        break;
      }
      ++episode_count;
      session.send_status("recording", {{"episode", episode_count}});
      const std::string reason =
          teleop_loop(teleop, robot, camera_fps, processors, *selected_cameras, duration, &session);
      if (reason == "end") {  // the loop kept what the episode had recorded
        export_dataset = true;
        break;
      }
      if (reason == "nothing_recorded") {
        waiting_note = "Episode " + std::to_string(episode_count) +
                       " was not saved: it ended before the follower reached the leader's pose";
        --episode_count;
        continue;
      }
      session.send_status("idle", {{"episode", episode_count}, {"completed", true}});
    }
  } catch (const kit::Interrupted&) {
    logger().info("KeyboardInterrupt - exiting without export");
    session.close(false);
    throw;
  } catch (const std::exception& e) {
    logger().error("Session error\n{}", e.what());
    // The operator's page learns why the session ends, not only that the robot went away.
    session.send_status("error", {{"message", e.what()}});
    if (failed) *failed = true;
    // The episodes saved before the failure are the operator's work: they
    // are exported as at a session's end (the one cut short is not).
    if (session.episode_index() > 0) {
      logger().info("The {} episode(s) saved before the failure are being exported", session.episode_index());
      export_dataset = true;
    }
  }
  session.close(export_dataset);
  if (failed && session.export_failed()) *failed = true;
  return selected_cameras;
}

ReleaseArms::~ReleaseArms() {
  try {
    teleop_.disconnect();
  } catch (const std::exception& e) {
    logger().warning("Could not release the leader arm: {}", e.what());
  }
  try {
    robot_.disconnect();
  } catch (const std::exception& e) {
    logger().warning("Could not release the follower arm: {}", e.what());
  }
}

void teleoperate(const TeleoperateConfig& cfg) {
  kit::install_interrupt_handler();
  armkit::init_logging();
  logger().info("{}", kit::json::py_pformat(describe(cfg)));
  auto teleop = armkit::make_teleoperator_from_config(cfg.teleop);
  auto robot = armkit::make_robot_from_config(cfg.robot);
  const armkit::Processors processors = armkit::make_default_processors();
  teleop->connect();
  robot->connect();
  const ReleaseArms release(*teleop, *robot);
  say_if_studio_silent();
  bool failed = false;
  try {
    run_session(*robot, *teleop, processors, camera_track_names(*robot), cfg.selected_cameras, cfg.teleop_time_s, std::nullopt,
                &failed);
  } catch (const kit::Interrupted&) {
    logger().info("Shutting down...");
  }
  // A session that ended on an error, or whose export was refused, is no
  // success for the shell or a script that runs this command.
  if (failed) throw cli::CommandExit{1};
}

}  // namespace tessaline::capture
