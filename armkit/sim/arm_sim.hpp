#pragma once
// A simulated arm: six servos of the arm's kind on a pseudo-terminal, built
// like a real one. Each joint has a physical middle of its own (where the
// horn sits when the joint is in the middle of its travel), so a
// calibration has real work to do. A leader is moved by a hand along a
// scripted path or held still; a follower's motors drive its horns toward
// their goals at a bounded speed while torque is on.
#include <cstdint>
#include <memory>
#include <string>

#include "armkit/robots/calibration.hpp"
#include "armkit/sim/servo_sim.hpp"

namespace armkit {

enum class LeaderMotion { still, scripted };

class SimulatedArm {
 public:
  // `type` is an arm type such as "so101_follower" or "koch_leader".
  SimulatedArm(const std::string& type, LeaderMotion motion = LeaderMotion::scripted, int baudrate = 1'000'000);
  SimulatedArm(const SimulatedArm&) = delete;
  SimulatedArm& operator=(const SimulatedArm&) = delete;

  const std::string& type() const { return type_; }
  const std::string& port() const { return bus_->port(); }
  SimulatedBus& bus() { return *bus_; }
  // Present_Position as the servo reports it, by joint index (0..5).
  int32_t present(size_t joint) const;
  // Where the horn physically is, in steps.
  double actual(size_t joint) const;
  // The horn's position with the joint in the middle of its travel.
  double physical_middle(size_t joint) const;
  void set_motion(LeaderMotion motion);
  // A hand holds the joint where it reads `reading` (a follower's motor
  // cannot move it then), until released: a leader's joint goes back to
  // its motion, a follower's to its motor.
  void hold(size_t joint, int32_t reading);
  void release(size_t joint);

  // Writes into the servos what the robot framework's calibration leaves
  // there for this arm (homing offsets, position limits, Koch's operating
  // mode and the leader elbow's drive mode) and returns the matching file
  // contents.
  Calibration calibrate_like_the_framework();

 private:
  std::string type_;
  bool follower_;
  LeaderMotion motion_ = LeaderMotion::scripted;
  std::unique_ptr<SimulatedBus> bus_;
};

}  // namespace armkit
