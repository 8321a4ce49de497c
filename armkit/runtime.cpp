#include "armkit/runtime.hpp"

#include <chrono>
#include <thread>

#include "kit/log/logger.hpp"

namespace armkit {

Processors make_default_processors() {
  return {
      [](const std::pair<Action, Observation>& p) { return p.first; },
      [](const std::pair<Action, Observation>& p) { return p.first; },
      [](const Observation& o) { return o; },
  };
}

void busy_wait(double seconds) {
  if (seconds <= 0) return;
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  constexpr auto kSpin = std::chrono::microseconds(1500);  // the scheduler may oversleep by about this much
  if (until - Clock::now() > kSpin) std::this_thread::sleep_until(until - kSpin);
  while (Clock::now() < until) {
  }
}

void init_logging() {
  auto& logger = kit::log::get_logger("lerobot");
  if (logger.level() == kit::log::Level::NOTSET) logger.set_level(kit::log::Level::INFO);
}

}  // namespace armkit
