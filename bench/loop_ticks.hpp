#pragma once
// When a teleoperation loop's ticks pass, and how late each one is.
#include <algorithm>
#include <chrono>
#include <vector>

#include "armkit/runtime.hpp"

namespace bench {

using TickClock = std::chrono::steady_clock;

// The default processors, with each tick noted as its action passes the
// robot-action step.
inline armkit::Processors processors_noting_ticks(std::vector<TickClock::time_point>& ticks) {
  auto processors = armkit::make_default_processors();
  processors.robot_action = [&ticks, pass_on = processors.robot_action](
                                const std::pair<armkit::Action, armkit::Observation>& in) {
    ticks.push_back(TickClock::now());
    return pass_on(in);
  };
  return processors;
}

// How much later than one period after the one before each tick came (ms).
inline std::vector<double> lateness_ms(const std::vector<TickClock::time_point>& ticks, int fps) {
  const double period_ms = 1000.0 / fps;
  std::vector<double> late;
  for (size_t i = 1; i < ticks.size(); ++i) {
    const double gap = std::chrono::duration<double, std::milli>(ticks[i] - ticks[i - 1]).count();
    late.push_back(std::max(0.0, gap - period_ms));
  }
  return late;
}

}  // namespace bench
