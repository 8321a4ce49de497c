#pragma once
// One browser-driven recording session from start to finish: connect, let
// the browser choose the cameras, then alternate between waiting for
// "start" (previewing the cameras) and recording an episode, until the
// browser ends the session, goes away, or the operator presses Ctrl+C.
// The session is exported when the browser ended it or went away.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "armkit/robots/robot.hpp"
#include "armkit/runtime.hpp"
#include "tessaline/config.hpp"
#include "tessaline/session.hpp"

namespace tessaline::capture {

struct TeleoperateConfig {
  armkit::TeleoperatorConfig teleop;
  armkit::RobotConfig robot;
  std::optional<double> teleop_time_s;  // time limit of every episode
  bool use_webrtc = true;
  std::string webrtc_server_url = config::VELQUIN_HTTP_SERVER;
  std::string repo_id = "teleoperation";
  std::vector<std::string> selected_cameras;  // empty: the browser is asked
};

// Disconnects the teleoperator, then the robot, on every way out of a
// scope; a failing disconnect is logged and does not hide the way out.
class ReleaseArms {
 public:
  ReleaseArms(armkit::Teleoperator& teleop, armkit::Robot& robot) : teleop_(teleop), robot_(robot) {}
  ~ReleaseArms();
  ReleaseArms(const ReleaseArms&) = delete;
  ReleaseArms& operator=(const ReleaseArms&) = delete;

 private:
  armkit::Teleoperator& teleop_;
  armkit::Robot& robot_;
};

// The `capture` command: connect the arms, run one session, release the arms.
// Ctrl+C ends it in order ("Shutting down...").
void teleoperate(const TeleoperateConfig& cfg);

// Run one complete session: connect, camera selection, episodes, close.
// Returns the selected camera keys when the session ran, none when the
// browser never connected or cancelled the camera selection. Rethrows
// kit::Interrupted after closing without export; other failures in the
// episode loop are logged and end the session without export. `failed`,
// when given, is set when the session ended on such a failure or its
// export could not be asked for (the studio refused or did not answer).
std::optional<std::vector<std::string>> run_session(
    armkit::Robot& robot, armkit::Teleoperator& teleop, const armkit::Processors& processors,
    const std::vector<std::string>& camera_names, std::optional<std::vector<std::string>> selected_cameras,
    std::optional<double> duration = std::nullopt, std::optional<std::string> user_id = std::nullopt,
    bool* failed = nullptr);

// Run interactive camera selection via browser UI. Returns the selected
// camera list, or none if the user cancelled. Remembers the choice in the
// saved setup when there is one.
std::optional<std::vector<std::string>> _run_camera_selection(const TeleoperateConfig& cfg, VelquinSession& session,
                                                              armkit::Robot& robot,
                                                              const armkit::Processors& processors,
                                                              const std::vector<std::string>& camera_names);

// Poll for a browser command while streaming preview frames. Returns the
// first command in `accept`, or "end" on "end" or when the browser is gone.
std::string _wait_for_command(VelquinSession& session, armkit::Robot& robot, const armkit::Processors& processors,
                              const std::set<std::string>& accept);

// The session's frame rate: the lowest non-zero camera rate (30 without one).
int session_fps(const armkit::RobotConfig& robot_config);

// "observation.images.cam_<name>" for each of the robot's cameras, in order.
std::vector<std::string> camera_track_names(const armkit::Robot& robot);

}  // namespace tessaline::capture
