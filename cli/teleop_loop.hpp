#pragma once
// One episode at a fixed rate: read the leader, drive the follower, capture
// the follower's observation, push the camera images to the live video and
// hand one frame record to the session. Also the pieces around it: building
// the logged record, keeping the selected cameras, streaming previews
// between episodes and writing an episode's final frame. Main thread only.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "armkit/robots/robot.hpp"
#include "armkit/runtime.hpp"
#include "cli/approach_watch.hpp"
#include "tessaline/session.hpp"

namespace tessaline::capture {

using armkit::Action;
using armkit::Observation;

inline constexpr const char* kImagePrefix = "observation.images.";
inline constexpr const char* kCameraKeyPrefix = "observation.images.cam_";

// Runs until the duration expires, an episode ends, or the browser asks to
// end (or goes away); returns "end", "end_episode" or "duration". An episode
// that recorded frames is ended (and its quality sent) before any of them
// returns. Without a session it
// neither polls, streams nor logs. With one, the follower is first brought
// to the leader's pose (also after a retry; commands are handled meanwhile,
// and the page is told), so the episode does not begin with a jump; an
// episode ended before that is over records nothing ("nothing_recorded").
// A tick whose bus reads fail is skipped (TickFailures); other failures are
// not caught.
std::string teleop_loop(armkit::Teleoperator& teleop, armkit::Robot& robot, int fps,
                        const armkit::Processors& processors, const std::vector<std::string>& selected_cameras,
                        std::optional<double> duration = std::nullopt, VelquinSession* session = nullptr);

// Get observation + action, process both, and build the logged observation.
std::tuple<Record, Observation, Action> _capture_frame(armkit::Robot& robot, armkit::Teleoperator& teleop,
                                                       const armkit::Processors& processors,
                                                       const std::vector<std::string>& selected_cameras,
                                                       double timestamp);

// The logged record without its timestamp: images (arrays of two or more
// dimensions) under their camera keys, then every scalar as "state" (float32).
Record build_observation_for_logging(const Observation& obs_transition);

// Return observation with image keys not in selected_cameras removed.
Record filter_cameras(const Record& obs, const std::vector<std::string>& selected_cameras);

// Capture one observation from the robot and push camera frames to WebRTC.
void _stream_preview_frames(armkit::Robot& robot, const armkit::Processors& processors, VelquinSession& session);

// Capture a final frame marked as episode end, then close the episode,
// sending its quality record (EpisodeQuality) with the end.
void _end_episode(armkit::Robot& robot, armkit::Teleoperator& teleop, const armkit::Processors& processors,
                  VelquinSession& session, const std::vector<std::string>& selected_cameras, double timestamp,
                  const Json& quality = Json());

// One tick of bringing the follower to the leader's pose at a bounded speed
// (90°/s of horn travel; joints that turn fully are sent the leader's value),
// streaming the cameras. Returns how far the farthest joint was, in degrees.
double _approach_step(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps, const armkit::Processors& processors,
                      VelquinSession* session);
// Such ticks until ApproachWatch says the approach is over.
ApproachWatch::Outcome _bring_follower_to_leader(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps,
                                                 const armkit::Processors& processors, VelquinSession* session);

// The performance counter, in seconds: the clock episodes and ticks are timed by.
double perf_counter();

}  // namespace tessaline::capture
