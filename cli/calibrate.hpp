#pragma once
// Calibrating an arm the way the robot framework does, so a file written
// here works there and the other way round: move the arm to the middle of
// its travel (half-turn homing offsets go into the servos), sweep every
// joint through its range while a live table shows min / current / max,
// then the limits go into the servos and the file is saved.
#include <functional>
#include <iostream>

#include "armkit/robots/robot.hpp"
#include "cli/arm_configs.hpp"

namespace tessaline::cli {

// Runs the procedure on a connected arm (torque is turned off) and returns
// the calibration now in its servos and in its file. `enter` blocks for a
// line of input; `enter_pressed` says, without blocking, whether one came.
armkit::Calibration calibrate_arm(armkit::ServoArm& arm, const std::function<void()>& enter,
                                  const std::function<bool()>& enter_pressed);

// The same with the terminal's standard input.
armkit::Calibration calibrate_arm_on_terminal(armkit::ServoArm& arm);

// The framework's calibrate() on an arm whose port is open: when the arm has
// a calibration file, ENTER writes it into the servos and 'c' (then ENTER)
// runs the procedure instead; without one the procedure runs.
armkit::Calibration calibrate_or_restore(armkit::ServoArm& arm);

// `tessaline calibrate`: one arm, named by --robot.type/--robot.id or
// --teleop.type/--teleop.id, on the port capture would use for it.
void run_calibrate(const ArmOptions& options);

}  // namespace tessaline::cli
