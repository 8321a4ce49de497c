#pragma once
// Before an episode records, the follower is brought to the leader's pose.
// This judges each tick of that approach: arrived when every joint is within
// the tolerance; given up when the follower has stopped closing in (a joint
// held back, or a leader beyond the follower's range) or the approach has
// run out of time. Either way recording then starts from where it is.
#include <optional>

namespace tessaline::capture {

class ApproachWatch {
 public:
  enum class Outcome { going_on, arrived, stopped_closing_in, out_of_time };

  static constexpr double kToleranceDegrees = 15.0;
  static constexpr double kTimeLimitSeconds = 10.0;
  // Closing in: at least this much nearer within the window.
  static constexpr double kProgressDegrees = 1.0;
  static constexpr double kProgressWindowSeconds = 2.0;

  explicit ApproachWatch(double now) { restart(now); }
  void restart(double now);
  // After a tick: how far the farthest joint still is (nothing when the
  // tick's bus work failed), at `now` on the performance counter.
  Outcome judge(std::optional<double> farthest_degrees, double now);
  double began() const { return began_; }
  double farthest() const { return best_; }

 private:
  double began_ = 0;
  double best_ = 0;
  double best_at_ = 0;
  bool measured_ = false;
};

}  // namespace tessaline::capture
