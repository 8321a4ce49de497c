#include "cli/approach_watch.hpp"

namespace tessaline::capture {

void ApproachWatch::restart(double now) {
  began_ = best_at_ = now;
  best_ = 0;
  measured_ = false;
}

ApproachWatch::Outcome ApproachWatch::judge(std::optional<double> farthest_degrees, double now) {
  if (farthest_degrees) {
    if (*farthest_degrees <= kToleranceDegrees) return Outcome::arrived;
    if (!measured_ || *farthest_degrees <= best_ - kProgressDegrees) {
      best_ = *farthest_degrees;
      best_at_ = now;
      measured_ = true;
    }
  }
  if (now - began_ > kTimeLimitSeconds) return Outcome::out_of_time;
  // Lost ticks are no sign of a stall: the window runs from the last gain.
  if (measured_ && farthest_degrees && now - best_at_ > kProgressWindowSeconds) return Outcome::stopped_closing_in;
  return Outcome::going_on;
}

}  // namespace tessaline::capture
