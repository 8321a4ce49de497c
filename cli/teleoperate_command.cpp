#include "cli/teleoperate_command.hpp"

#include <chrono>
#include <cstdio>

#include "cli/capture.hpp"
#include "cli/console.hpp"
#include "cli/live_table.hpp"
#include "cli/tick_failures.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::cli {
namespace {

std::string fixed(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

}  // namespace

void run_teleoperate(const ArmOptions& options) {
  using Clock = std::chrono::steady_clock;
  kit::install_interrupt_handler();
  armkit::init_logging();
  const CaptureConfig config = _resolve_capture_config();
  auto [robot_cfg, teleop_cfg] = arm_configs(config, options);
  robot_cfg.cameras.clear();  // joints only: nothing is recorded or streamed
  const int fps = options.fps.value_or(60);
  if (fps < 1 || fps > 1000) throw std::invalid_argument("--fps must be between 1 and 1000");
  auto teleop = armkit::make_teleoperator_from_config(teleop_cfg);
  auto robot = armkit::make_robot_from_config(robot_cfg);
  const armkit::Processors processors = armkit::make_default_processors();
  teleop->connect();
  robot->connect();
  const capture::ReleaseArms release(*teleop, *robot);
  console.print("Teleoperating at " + std::to_string(fps) + " Hz. Press Ctrl+C to stop.");

  LiveTable table(console, {"JOINT", "LEADER", "FOLLOWER"});
  const auto start = Clock::now();
  auto last_draw = start, window_start = start;
  long ticks = 0, window_ticks = 0;
  capture::TickFailures failures;
  double rate = 0;
  try {
    for (;;) {
      const auto t0 = Clock::now();
      kit::throw_if_interrupted();
      if (options.duration && std::chrono::duration<double>(t0 - start).count() >= *options.duration) break;
      // The follower first, then the leader, as the framework's teleoperate reads them.
      armkit::Observation observation;
      armkit::Action action;
      try {
        observation = robot->get_observation();
        action = teleop->get_action();
        failures.succeeded();
      } catch (const armkit::BusError& e) {
        failures.failed(e);
        armkit::busy_wait(1.0 / fps - std::chrono::duration<double>(Clock::now() - t0).count());
        continue;
      }
      robot->send_action(processors.robot_action({processors.teleop_action({action, observation}), observation}));
      ++ticks;
      ++window_ticks;
      if (t0 - window_start >= std::chrono::seconds(1)) {
        rate = window_ticks / std::chrono::duration<double>(t0 - window_start).count();
        window_start = t0;
        window_ticks = 0;
      }
      if (t0 - last_draw >= std::chrono::milliseconds(100)) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& [key, value] : action) {
          rows.push_back({key.substr(0, key.size() - 4), fixed(value.as_double()), fixed(observation.at(key).as_double())});
        }
        table.draw(rows, "loop: " + fixed(rate) + " Hz (goal " + std::to_string(fps) + ")");
        last_draw = t0;
      }
      armkit::busy_wait(1.0 / fps - std::chrono::duration<double>(Clock::now() - t0).count());
    }
  } catch (const kit::Interrupted&) {
  }
  table.finish();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  console.print("Teleoperated for " + fixed(seconds) + " s: " + std::to_string(ticks) + " ticks, " +
                fixed(seconds > 0 ? ticks / seconds : 0) + " Hz on average.");
}

}  // namespace tessaline::cli
