#pragma once
// What the robot framework writes into an arm's servos: torque on and off
// (Feetech also locks and unlocks its EPROM), the per-arm configuration it
// applies at every connect, and a calibration — and the check that the
// servos hold the calibration a file describes.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/robots/calibration.hpp"

namespace armkit {

// Confirmed by reading every motor back; a few attempts, then BusError.
void set_torque(MotorsBus& bus, const std::vector<std::string>& motors, bool on);

// The framework's configure() for this arm type (return delay, acceleration,
// gains, gripper limits, operating modes), done with torque off. Afterwards
// a follower holds torque on every motor, a Koch leader on its gripper only
// — a spring-back trigger: torque first, then, when the servos hold a
// calibration (`held`), the gripper sent to `gripper_open_pos` (0..100) —
// and other leaders on none.
void configure_arm(MotorsBus& bus, const std::string& type, const Calibration* held, double gripper_open_pos = 50.0);

// The framework's setup_motor: the one servo wired to the bus's port (found
// at any rate its family uses) becomes `motor`: its id and the bus's rate,
// saved in its EEPROM, torque off. The bus's port must be closed; it is
// closed again afterwards. Throws BusError when no servo or more than one
// answers, or when the servo is another model; returns what it found
// ("id 1 at 1000000 baud").
std::string setup_motor(MotorsBus& bus, const std::string& motor);

// Homing offsets and position limits (and, on Dynamixel, drive modes) into
// the servos, torque off. Each write is status-checked.
void write_calibration(MotorsBus& bus, const Calibration& calibration);

// What the servos hold, read back as a calibration (drive mode: the
// register on Dynamixel; 0 on Feetech, which has none).
Calibration read_calibration(MotorsBus& bus, const std::vector<std::string>& motors);

// How the servos differ from `calibration`, one line per difference;
// nothing when they agree. Feetech compares offsets and limits, Dynamixel
// drive modes too.
std::optional<std::vector<std::string>> calibration_mismatch(MotorsBus& bus, const Calibration& calibration);

// The registers calibrating or configuring an arm may change, as every motor
// holds them now; `restore` writes them back (torque off meanwhile, then as
// it was), so a calibration that fails or is cancelled leaves the arm as it
// found it.
class RegisterSnapshot {
 public:
  static RegisterSnapshot take(MotorsBus& bus);
  void restore(MotorsBus& bus) const {
    size_t done = 0;
    restore(bus, done);
  }
  // The same from value `done` on, counting in `done`: a restore the bus
  // cut off goes on where it stopped.
  void restore(MotorsBus& bus, size_t& done) const;
  // What a restore stopped at `done` has not written back: per motor, "name:
  // register, register, ...".
  std::vector<std::string> not_restored(size_t done) const;

 private:
  std::vector<std::tuple<std::string, std::string, int32_t>> values_;  // motor, register, value
};

}  // namespace armkit
