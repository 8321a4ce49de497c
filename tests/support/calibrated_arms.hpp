#pragma once
// Simulated arms set up as the robot framework leaves them: calibration in
// the servos and a file for it in a calibration folder of the test's own.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "armkit/robots/calibration.hpp"
#include "armkit/sim/arm_sim.hpp"

namespace test_support {

// HF_LEROBOT_CALIBRATION pointing at a fresh folder while it lives.
class CalibrationFolder {
 public:
  CalibrationFolder() : path_(std::filesystem::temp_directory_path() / ("calibration-" + std::to_string(getpid()))) {
    std::filesystem::remove_all(path_);
    if (const char* old = std::getenv("HF_LEROBOT_CALIBRATION")) saved_ = old;
    setenv("HF_LEROBOT_CALIBRATION", path_.c_str(), 1);
  }
  ~CalibrationFolder() {
    if (saved_) setenv("HF_LEROBOT_CALIBRATION", saved_->c_str(), 1);
    else unsetenv("HF_LEROBOT_CALIBRATION");
    std::filesystem::remove_all(path_);
  }
  CalibrationFolder(const CalibrationFolder&) = delete;
  CalibrationFolder& operator=(const CalibrationFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> saved_;
};

// Calibrates the arm's servos and writes the file for `id`; returns `id`.
inline std::string calibrate(armkit::SimulatedArm& arm, const std::string& id) {
  armkit::save_calibration(armkit::calibration_path(arm.type(), id), arm.calibrate_like_the_framework());
  return id;
}

}  // namespace test_support
