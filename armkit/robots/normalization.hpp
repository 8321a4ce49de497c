#pragma once
// Joint values in the robot framework's units, computed exactly as its bus
// does from what the servo reports (the servo has already applied its
// homing offset; software never does). Three modes: degrees from the
// middle of the calibrated range, −100..100 over the range, 0..100 over
// the range. Drive mode is applied here only where the family's firmware
// does not apply it itself (Feetech).
#include <cstdint>
#include <optional>
#include <string>

#include "armkit/protocol/control_table.hpp"
#include "armkit/robots/calibration.hpp"

namespace armkit {

enum class NormMode { degrees, range_m100_100, range_0_100 };

// The mode of one joint of an arm type, as the framework has it: grippers
// 0..100; a Koch leader's other joints −100..100; the others in degrees
// with `use_degrees`, else −100..100. Unset, `use_degrees` takes the
// framework's default: true on SO arms, false on the Koch follower.
NormMode norm_mode(const std::string& type, const std::string& joint, std::optional<bool> use_degrees = std::nullopt);

// True where software applies drive_mode (Feetech buses).
bool applies_drive_mode(ServoFamily family);

// Present_Position (as decoded from the servo) → value. Throws
// std::invalid_argument for an empty range.
double normalize(NormMode mode, const MotorCalibration& c, int32_t raw, bool apply_drive_mode);
// Value → Goal_Position, truncated toward zero as the framework does.
int32_t unnormalize(NormMode mode, const MotorCalibration& c, double value, bool apply_drive_mode);

}  // namespace armkit
