#pragma once
// Port discovery and configuration utilities for robot hardware: finds the
// USB serial ports with servo controllers, which family answers, at which
// rate and with which ids.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/console/table.hpp"

namespace tessaline::ports {

// One entry of the platform's serial-port enumeration.
struct ListPortInfo {
  std::string device;
  std::optional<std::string> description;
  std::optional<std::string> manufacturer;
  std::optional<int> vid;
  std::optional<int> pid;
  std::optional<std::string> serial_number;
};

// Information about a discovered serial port.
struct PortInfo {
  std::string device;
  std::string description;
  std::optional<std::string> manufacturer;
  std::optional<int> vid;
  std::optional<int> pid;
  std::optional<std::string> serial_number;
  std::optional<std::vector<int>> motor_ids;
  std::optional<int> baudrate;
  std::optional<std::string> motor_type;

  static PortInfo from_list_port_info(const ListPortInfo& port);
};

extern const std::vector<std::string> SUPPORTED_MOTOR_TYPES;     // "feetech", "dynamixel"
extern const std::map<int, std::string> KNOWN_MOTOR_ADAPTERS;  // USB vendor id → label

// The USB serial ports of this computer (sysfs), plus the virtual rig's ports
// when TESSALINE_VIRTUAL_HARDWARE names its manifest. Sorted by device path.
std::vector<ListPortInfo> enumerate_serial_ports();
std::vector<PortInfo> list_serial_ports(bool filter_usb = true);

using ScanResult = std::map<int, std::vector<int>>;  // baud rate → motor ids
// (result, family) of the first family that finds motors; (none, none) otherwise.
std::pair<std::optional<ScanResult>, std::optional<std::string>> scan_port_for_motors(
    const std::string& port, const std::optional<std::string>& motor_type = std::nullopt);

// Find serial ports with robot motors connected. Scans ports in parallel for
// speed. Filters by known motor adapter VIDs first. Returns the ports with
// motors, in the order their scans completed.
std::vector<PortInfo> find_robot_ports(const std::optional<std::string>& motor_type = std::nullopt,
                                       bool verbose = true, std::optional<int> limit = std::nullopt,
                                       bool filter_known_vids = true);

kit::console::Table _create_ports_table(const std::vector<PortInfo>& ports, const std::string& title = "USB Serial Ports");

// Temporarily suppress lerobot's noisy INFO logging (restores the logger's own level).
class _suppress_lerobot_logging {
 public:
  _suppress_lerobot_logging();
  ~_suppress_lerobot_logging();
  _suppress_lerobot_logging(const _suppress_lerobot_logging&) = delete;
  _suppress_lerobot_logging& operator=(const _suppress_lerobot_logging&) = delete;

 private:
  int saved_level_;
};

}  // namespace tessaline::ports
