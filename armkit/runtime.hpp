#pragma once
// The robot layer's small helpers: processors, precise waiting, logging.
#include <functional>
#include <utility>

#include "armkit/robots/robot.hpp"

namespace armkit {

// Identity by default: teleoperator action (action, observation) → action;
// robot action (action, observation) → action to send; observation → observation.
struct Processors {
  std::function<Action(const std::pair<Action, Observation>&)> teleop_action;
  std::function<Action(const std::pair<Action, Observation>&)> robot_action;
  std::function<Observation(const Observation&)> robot_observation;
};
Processors make_default_processors();

// Returns after `seconds` (at once for <= 0): sleeps most of it, spins the
// last stretch, so it lands well under a millisecond late.
void busy_wait(double seconds);

// The robot layer's logger "lerobot" at INFO (the command may set it otherwise).
void init_logging();

}  // namespace armkit
