#include "armkit/robots/normalization.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace armkit {
namespace {

constexpr double kMaxResolution = 4095;  // resolution − 1

void check_range(const MotorCalibration& c) {
  if (c.range_min == c.range_max) {
    throw std::invalid_argument("motor " + std::to_string(c.id) + " has an empty calibrated range (" +
                                std::to_string(c.range_min) + ")");
  }
}

}  // namespace

NormMode norm_mode(const std::string& type, const std::string& joint, std::optional<bool> use_degrees) {
  if (joint == "gripper") return NormMode::range_0_100;
  if (type == "koch_leader") return NormMode::range_m100_100;
  return use_degrees.value_or(!type.starts_with("koch")) ? NormMode::degrees : NormMode::range_m100_100;
}

bool applies_drive_mode(ServoFamily family) { return family == ServoFamily::feetech; }

double normalize(NormMode mode, const MotorCalibration& c, int32_t raw, bool apply_drive_mode) {
  check_range(c);
  const double lo = c.range_min, hi = c.range_max;
  const bool reversed = apply_drive_mode && c.drive_mode != 0;
  switch (mode) {
    case NormMode::degrees:
      return (raw - (lo + hi) / 2) * 360 / kMaxResolution;
    case NormMode::range_m100_100: {
      const double v = (std::clamp<double>(raw, lo, hi) - lo) / (hi - lo) * 200 - 100;
      return reversed ? -v : v;
    }
    case NormMode::range_0_100: {
      const double v = (std::clamp<double>(raw, lo, hi) - lo) / (hi - lo) * 100;
      return reversed ? 100 - v : v;
    }
  }
  return 0;
}

int32_t unnormalize(NormMode mode, const MotorCalibration& c, double value, bool apply_drive_mode) {
  check_range(c);
  const double lo = c.range_min, hi = c.range_max;
  const bool reversed = apply_drive_mode && c.drive_mode != 0;
  double raw = 0;
  switch (mode) {
    case NormMode::degrees:
      raw = value * kMaxResolution / 360 + (lo + hi) / 2;
      break;
    case NormMode::range_m100_100:
      raw = (std::clamp(reversed ? -value : value, -100.0, 100.0) + 100) / 200 * (hi - lo) + lo;
      break;
    case NormMode::range_0_100:
      raw = std::clamp(reversed ? 100 - value : value, 0.0, 100.0) / 100 * (hi - lo) + lo;
      break;
  }
  if (!std::isfinite(raw)) throw std::invalid_argument("goal for motor " + std::to_string(c.id) + " is not a number");
  return static_cast<int32_t>(std::clamp(std::trunc(raw), -2e9, 2e9));
}

}  // namespace armkit
