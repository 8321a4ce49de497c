#include "cli/teleop_loop.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "armkit/bus/tick_deadline.hpp"
#include "cli/episode_quality.hpp"
#include "cli/tick_failures.hpp"
#include "kit/log/logger.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::capture {
namespace {

kit::log::Logger& logger() { return kit::log::get_logger("tessaline.capture"); }

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Scalars the logged state takes: numbers and bools, as floats.
std::optional<double> scalar(const Value& value) {
  if (const auto* b = value.get_if<bool>()) return *b ? 1.0 : 0.0;
  if (const auto* i = value.get_if<int64_t>()) return static_cast<double>(*i);
  if (const auto* d = value.get_if<double>()) return *d;
  return std::nullopt;
}

// The logged form of an action: its values in order.
std::vector<double> action_values(const Action& action) {
  std::vector<double> values;
  values.reserve(action.size());
  for (const auto& [key, value] : action) values.push_back(value.as_double());
  return values;
}

// Before recording, the follower is brought to the leader's pose at this
// speed (horn travel); ApproachWatch says when that is over.
constexpr double kApproachDegreesPerSecond = 90.0;

void push_images(VelquinSession& session, const Observation& obs_transition) {
  for (const auto& [key, value] : obs_transition) {
    const auto* array = value.get_if<NdArray>();
    if (array && array->shape().size() == 3) session.update_frame(kCameraKeyPrefix + key, *array);
  }
}

}  // namespace

double _approach_step(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps, const armkit::Processors& processors,
                      VelquinSession* session) {
  const Observation obs = robot.get_observation();
  const Action action = processors.teleop_action({teleop.get_action(), obs});
  const double farthest = robot.step_toward(processors.robot_action({action, obs}), kApproachDegreesPerSecond / fps);
  if (session) push_images(*session, processors.robot_observation(obs));
  return farthest;
}

ApproachWatch::Outcome _bring_follower_to_leader(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps,
                                                 const armkit::Processors& processors, VelquinSession* session) {
  ApproachWatch watch(perf_counter());
  TickFailures failures;
  for (;;) {
    const double tick = perf_counter();
    kit::throw_if_interrupted();
    std::optional<double> farthest;
    try {
      farthest = _approach_step(robot, teleop, fps, processors, session);
      failures.succeeded();
    } catch (const armkit::BusError& e) {
      failures.failed(e);
    }
    const auto outcome = watch.judge(farthest, perf_counter());
    if (outcome != ApproachWatch::Outcome::going_on) return outcome;
    armkit::busy_wait(1.0 / fps - (perf_counter() - tick));
  }
}

double perf_counter() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Record build_observation_for_logging(const Observation& obs_transition) {
  Record record;
  std::vector<float> state;
  for (const auto& [key, value] : obs_transition) {
    if (key == "timestamp") continue;
    if (const auto* array = value.get_if<NdArray>()) {
      const size_t dims = array->shape().size();
      if (dims >= 2) {
        record.set(kCameraKeyPrefix + key, *array);  // shares the pixels
      } else {
        for (size_t i = 0; i < array->size(); ++i) state.push_back(static_cast<float>(array->as_double(i)));
      }
    } else if (const auto v = scalar(value)) {
      state.push_back(static_cast<float>(*v));
    }
  }
  record.set("state", NdArray::from_vector(DType::float32, state));
  return record;
}

Record filter_cameras(const Record& obs, const std::vector<std::string>& selected_cameras) {
  Record kept;
  for (const auto& [key, value] : obs) {
    if (starts_with(key, kImagePrefix) &&
        std::find(selected_cameras.begin(), selected_cameras.end(), key) == selected_cameras.end()) {
      continue;
    }
    kept.set(key, value);
  }
  return kept;
}

std::tuple<Record, Observation, Action> _capture_frame(armkit::Robot& robot, armkit::Teleoperator& teleop,
                                                       const armkit::Processors& processors,
                                                       const std::vector<std::string>& selected_cameras,
                                                       double timestamp) {
  Observation obs = robot.get_observation();
  Action raw_action = teleop.get_action();
  Action teleop_action = processors.teleop_action({raw_action, obs});
  const Observation obs_transition = processors.robot_observation(obs);
  Record obs_for_logging = build_observation_for_logging(obs_transition);
  obs_for_logging.set("timestamp", timestamp);
  obs_for_logging = filter_cameras(obs_for_logging, selected_cameras);
  return {std::move(obs_for_logging), std::move(obs), std::move(teleop_action)};
}

void _stream_preview_frames(armkit::Robot& robot, const armkit::Processors& processors, VelquinSession& session) {
  push_images(session, processors.robot_observation(robot.get_observation()));
}

void _end_episode(armkit::Robot& robot, armkit::Teleoperator& teleop, const armkit::Processors& processors,
                  VelquinSession& session, const std::vector<std::string>& selected_cameras, double timestamp,
                  const Json& quality) {
  // The episode's last frame is read again after a failed read, as a tick
  // would be; only failures lasting the whole budget end the session.
  TickFailures failures;
  for (;;) {
    try {
      auto [obs_for_logging, obs, teleop_action] = _capture_frame(robot, teleop, processors, selected_cameras, timestamp);
      session.log_frame(std::make_shared<const Record>(std::move(obs_for_logging)), action_values(teleop_action), true);
      break;
    } catch (const armkit::BusError& e) {
      failures.failed(e);
    }
  }
  session.end_episode(quality);
}

std::string teleop_loop(armkit::Teleoperator& teleop, armkit::Robot& robot, int fps,
                        const armkit::Processors& processors, const std::vector<std::string>& selected_cameras,
                        std::optional<double> duration, VelquinSession* session) {
  TickFailures failures;
  double start = perf_counter();
  // With a session, the episode records once the follower has reached the
  // leader's pose; commands are handled meanwhile all the same.
  bool approaching = session != nullptr;
  bool approach_shown = false;  // on the page and in the log, once it takes more than a tick
  bool retried = false;         // the page keeps saying "again" after the approach
  ApproachWatch approach(start);
  EpisodeQuality quality(robot, teleop, fps);
  quality.restart(start);
  double quality_shown = start;  // the page sees the numbers once a second
  for (;;) {
    const double loop_start = perf_counter();
    if (session) {
      const auto command = session->wait_for_command(0.001);
      const bool browser_gone = command != "end" && !session->is_connected();
      if (command == "end" || browser_gone) {
        if (browser_gone) logger().info("Browser disconnected");
        else logger().info("Stop recording requested");
        // What was recorded of this episode is kept, as at its end.
        if (session->episode_frame_count() > 0) {
          const double now = perf_counter();
          _end_episode(robot, teleop, processors, *session, selected_cameras, now - start, quality.summary(now));
          quality.report();
        }
        return "end";
      }
      if (command == "end_episode" && approaching) {
        // Nothing was recorded yet: no episode of one frame is saved.
        logger().warning("Episode ended before the follower reached the leader's pose: nothing was recorded");
        return "nothing_recorded";
      }
      if (command == "end_episode") {
        const double now = perf_counter();
        _end_episode(robot, teleop, processors, *session, selected_cameras, now - start, quality.summary(now));
        quality.report();
        logger().info("Episode ended.");
        return "end_episode";
      }
      if (command == "retry_episode") {
        session->reset_episode();
        session->send_status("recording", {{"retried", true}});
        start = perf_counter();
        approach.restart(start);
        quality.restart(start);
        approaching = retried = true;
        approach_shown = false;
        logger().info("Episode reset. Recording restarted.");
        continue;
      }
    } else {
      kit::throw_if_interrupted();  // with a session, its waits notice Ctrl+C
    }

    if (approaching) {
      std::optional<double> farthest;
      try {
        farthest = _approach_step(robot, teleop, fps, processors, session);
        failures.succeeded();
      } catch (const armkit::BusError& e) {
        failures.failed(e);
      }
      const auto outcome = approach.judge(farthest, perf_counter());
      if (outcome == ApproachWatch::Outcome::stopped_closing_in) {
        logger().warning("The follower stopped closing in on the leader's pose ({:.0f}° from it); recording from where it is",
                         approach.farthest());
      } else if (outcome == ApproachWatch::Outcome::out_of_time) {
        logger().warning("The follower did not reach the leader's pose within {} s; recording from where it is",
                         ApproachWatch::kTimeLimitSeconds);
      }
      if (outcome != ApproachWatch::Outcome::going_on) {
        approaching = false;
        if (approach_shown) {
          Json shown{{"approaching", false}};
          if (retried) shown["retried"] = true;
          session->send_status("recording", shown);
        }
        approach_shown = false;
        start = perf_counter();  // the episode's time begins with its first recorded frame
        quality.restart(start);
        quality_shown = start;
      } else if (!approach_shown) {
        approach_shown = true;
        logger().info("Bringing the follower to the leader's pose before recording...");
        Json shown{{"approaching", true}};
        if (retried) shown["retried"] = true;
        session->send_status("recording", shown);
      }
      armkit::busy_wait(1.0 / fps - (perf_counter() - loop_start));
      continue;
    }

    // Every read of the tick — the follower and leader, and the follower
    // again where the goal is clamped to a relative target — is inside:
    // a failed one costs this tick, never the session.
    std::optional<std::tuple<Record, Observation, Action>> frame;
    try {
      const armkit::TickDeadline tick_end(std::chrono::steady_clock::now() +
                                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(1.0 / fps - (perf_counter() - loop_start))));
      frame = _capture_frame(robot, teleop, processors, selected_cameras, perf_counter() - start);
      auto& [obs_for_logging, obs, teleop_action] = *frame;
      robot.send_action(processors.robot_action({teleop_action, obs}));
      failures.succeeded();
    } catch (const armkit::BusError& e) {
      frame.reset();
      failures.failed(e);  // this tick is lost; the follower holds its last goal
      quality.skipped();
    }
    if (frame) {
      auto& [obs_for_logging, obs, teleop_action] = *frame;
      if (session) {
        for (const auto& [key, value] : obs_for_logging) {
          if (starts_with(key, kImagePrefix)) session->update_frame(key, value.get<NdArray>());
        }
        session->log_frame(std::make_shared<const Record>(std::move(obs_for_logging)), action_values(teleop_action));
      }
    }
    if (frame) quality.recorded(perf_counter() - loop_start);
    if (session && perf_counter() - quality_shown >= 1.0) {
      quality_shown = perf_counter();
      session->send_quality(quality.summary(quality_shown));
    }
    armkit::busy_wait(1.0 / fps - (perf_counter() - loop_start));
    if (duration && perf_counter() - start >= *duration) {
      const double now = perf_counter();
      if (session) _end_episode(robot, teleop, processors, *session, selected_cameras, now - start, quality.summary(now));
      quality.report();
      return "duration";
    }
  }
}

}  // namespace tessaline::capture
