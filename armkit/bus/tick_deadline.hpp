#pragma once
// While one lives, the calling thread's bus work has a deadline: the end of
// a control loop's tick. An exchange makes its first attempt whatever the
// time, but no retry that could not end before the deadline, so a glitch
// costs the tick it hit and the next tick starts on time and tries again.
#include <chrono>
#include <optional>

namespace armkit {

class TickDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TickDeadline(Clock::time_point at);
  ~TickDeadline();
  TickDeadline(const TickDeadline&) = delete;
  TickDeadline& operator=(const TickDeadline&) = delete;

  // The calling thread's deadline, if any.
  static std::optional<Clock::time_point> current();

 private:
  std::optional<Clock::time_point> outer_;
};

}  // namespace armkit
