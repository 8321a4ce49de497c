#pragma once
// The two files that remember hardware between runs, under
// $HF_LEROBOT_HOME/tessaline: "ports.json" (a port per robot id, written by
// `configure`) and "setup.json" (the whole capture setup). Devices are kept
// by USB serial number and found again when they move to another port.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/json/text.hpp"

namespace tessaline::ports {

// Saved port configuration for a robot.
struct RobotPortConfig {
  std::string port;
  std::optional<std::string> serial_number;
  std::optional<std::string> description;
  std::optional<int> motor_count;
};

// Saved port-to-role mapping, keyed by USB serial number.
struct PortRoleConfig {
  std::string serial_number;
  std::string last_port;
  std::string motor_type;
  std::optional<int> motor_count;
};

// Full capture config saved after first run for zero-arg capture.
struct CaptureSetup {
  std::string robot_type;
  std::string teleop_type;
  PortRoleConfig leader;
  PortRoleConfig follower;
  std::optional<kit::json::Json> cameras;  // camera name → {"type", "index_or_path", "width", "height", "fps"}
  std::vector<std::string> selected_cameras;
};

std::filesystem::path get_config_dir();
std::filesystem::path get_ports_config_path();  // creates the directory
std::filesystem::path get_setup_config_path();  // creates the directory

std::filesystem::path save_port_config(const std::string& robot_id, const RobotPortConfig& port_config);
std::optional<RobotPortConfig> load_port_config(const std::string& robot_id);
std::vector<std::pair<std::string, RobotPortConfig>> list_saved_configs();  // in file order
std::optional<std::string> get_port_for_robot(const std::string& robot_id);

std::filesystem::path save_capture_setup(const CaptureSetup& setup);
std::optional<CaptureSetup> load_capture_setup();
// (robot port, teleop port); updates and saves `setup` when a device moved.
std::pair<std::optional<std::string>, std::optional<std::string>> resolve_setup_ports(CaptureSetup& setup);

}  // namespace tessaline::ports
