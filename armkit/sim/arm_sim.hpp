#pragma once
// A simulated arm: six servos of the arm's kind on a pseudo-terminal, with
// motion. A follower moves toward its goal positions at a bounded speed
// while its torque is on; a leader either holds still or follows a scripted
// path, as a hand would move it.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "armkit/sim/servo_sim.hpp"

namespace armkit {

enum class LeaderMotion { still, scripted };

class SimulatedArm {
 public:
  // `type` is an arm type such as "so101_follower" or "koch_leader".
  SimulatedArm(const std::string& type, LeaderMotion motion = LeaderMotion::scripted, int baudrate = 1'000'000);
  ~SimulatedArm();
  SimulatedArm(const SimulatedArm&) = delete;
  SimulatedArm& operator=(const SimulatedArm&) = delete;

  const std::string& port() const { return bus_->port(); }
  SimulatedBus& bus() { return *bus_; }
  // Present positions in raw steps, by joint index (0..5).
  int32_t present(size_t joint) const;
  void set_motion(LeaderMotion motion) { motion_ = motion; }

 private:
  void step(double t, double dt);

  std::string type_;
  bool follower_;
  std::atomic<LeaderMotion> motion_;
  std::unique_ptr<SimulatedBus> bus_;
  std::atomic<bool> stop_{false};
  std::thread physics_;
};

}  // namespace armkit
