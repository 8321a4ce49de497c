#pragma once
// A bus read that fails now and then (a busy machine, a noisy cable) costs
// a tick, not the session: the tick is skipped — no goal is sent, nothing
// is recorded, the follower holds its last goal — and logged. Only when the
// reads have kept failing for the whole budget does the failure end the run.
#include <chrono>
#include <exception>
#include <optional>

namespace tessaline::capture {

class TickFailures {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TickFailures(std::chrono::milliseconds budget = std::chrono::milliseconds(500)) : budget_(budget) {}

  // Inside a catch block: returns when the tick may be skipped; rethrows the
  // failure being handled once failures have lasted longer than the budget.
  void failed(const std::exception& e);
  void succeeded() { failing_since_.reset(); }
  long skipped() const { return skipped_; }

 private:
  std::chrono::milliseconds budget_;
  std::optional<Clock::time_point> failing_since_;
  long skipped_ = 0;
};

}  // namespace tessaline::capture
