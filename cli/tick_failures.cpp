#include "cli/tick_failures.hpp"

#include "kit/log/logger.hpp"

namespace tessaline::capture {

void TickFailures::failed(const std::exception& e) {
  const auto now = Clock::now();
  if (!failing_since_) failing_since_ = now;
  if (now - *failing_since_ > budget_) {
    kit::log::get_logger("tessaline.capture")
        .error("The arms' reads kept failing for {} ms; stopping: {}",
               std::chrono::duration_cast<std::chrono::milliseconds>(now - *failing_since_).count(), e.what());
    throw;
  }
  ++skipped_;
  kit::log::get_logger("tessaline.capture").warning("Skipped a tick: {}", e.what());
}

}  // namespace tessaline::capture
