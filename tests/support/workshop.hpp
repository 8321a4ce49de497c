#pragma once
// A bench of simulated hardware for the command's tests: a temporary
// HF_LEROBOT_HOME (calibrations under it too) and a rig manifest listing the
// simulated arms the test creates (serial numbers "S0", "S1", ... in the
// order given, or none).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "armkit/sim/arm_sim.hpp"
#include "kit/json/text.hpp"
#include "tests/support/calibrated_arms.hpp"
#include "tessaline/config.hpp"

namespace test_support {

class Workshop : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() / ("workshop-" + std::to_string(getpid()));
    std::filesystem::create_directories(home_);
    saved_home_ = tessaline::config::HF_LEROBOT_HOME;
    tessaline::config::HF_LEROBOT_HOME = home_.string();
    manifest_ = home_ / "manifest.json";
    setenv("TESSALINE_VIRTUAL_HARDWARE", manifest_.c_str(), 1);
    setenv("HF_LEROBOT_CALIBRATION", (home_ / "calibration").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("HF_LEROBOT_CALIBRATION");
    unsetenv("TESSALINE_VIRTUAL_HARDWARE");
    tessaline::config::HF_LEROBOT_HOME = saved_home_;
    std::filesystem::remove_all(home_);
  }
  void write_manifest(const std::vector<const armkit::SimulatedArm*>& arms,
                      const kit::json::Json& cameras = kit::json::Json::array(), bool serial_numbers = true) {
    kit::json::Json ports = kit::json::Json::array();
    int n = 0;
    for (const auto* arm : arms) {
      kit::json::Json port{{"device", arm->port()}, {"description", "bus " + std::to_string(n)}, {"vid", 0x1A86}};
      if (serial_numbers) port["serial_number"] = "S" + std::to_string(n);
      ports.push_back(port);
      ++n;
    }
    std::ofstream(manifest_) << kit::json::Json{{"ports", ports}, {"cameras", cameras}}.dump();
  }
  // Calibrates the arm's servos as the framework would and writes its file
  // (by default the framework's unnamed arm, "None").
  static void calibrate(armkit::SimulatedArm& arm, const std::string& id = "None") { test_support::calibrate(arm, id); }
  std::filesystem::path home_, manifest_;
  std::string saved_home_;
};

}  // namespace test_support
