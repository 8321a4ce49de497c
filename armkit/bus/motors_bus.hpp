#pragma once
// Motor buses of the two servo families: open a port, ping, read, write,
// sync read and sync write, and scan a port for motors at every rate the
// family supports. Every failure names the port and the motor.
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "armkit/protocol/packets.hpp"
#include "armkit/serial/serial_port.hpp"
#include "armkit/sim/servo_sim.hpp"

namespace armkit {

struct BusError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Motor {
  uint8_t id;
  std::string model;  // e.g. "sts3215", "xl330-m288"
};

// Rates a scan tries, per family.
const std::vector<int>& scan_baudrates(ServoFamily family);

class PortHandler {
 public:
  void closePort();
  std::unique_ptr<SerialPort> port;  // null while closed
};

class MotorsBus {
 public:
  MotorsBus(ServoFamily family, std::string port, std::map<std::string, Motor> motors, int default_baudrate);
  virtual ~MotorsBus() = default;

  const ServoFamily family;
  const std::string port;
  std::map<std::string, Motor> motors;
  PortHandler port_handler;

  // Opens the port at the default rate; with `handshake`, every motor of the
  // mapping must answer a ping. Throws BusError.
  void _connect(bool handshake = false);
  bool is_connected() const { return port_handler.port != nullptr; }
  void set_baudrate(int baudrate);

  // (register value, communication result: 0 ok, servo error byte).
  std::tuple<uint32_t, int, int> _read(uint16_t address, int size, uint8_t motor_id);
  void write(uint16_t address, int size, uint8_t motor_id, uint32_t value);
  // One value per id; throws when any motor fails to answer.
  std::map<uint8_t, uint32_t> sync_read(uint16_t address, int size, const std::vector<uint8_t>& ids);
  void sync_write(uint16_t address, int size, const std::map<uint8_t, uint32_t>& values);
  // Ids that answer a broadcast ping at the current rate.
  std::vector<uint8_t> broadcast_ping();

 protected:
  static std::map<int, std::vector<int>> scan(ServoFamily family, const std::string& port);

 private:
  SerialPort& open_port();
  std::vector<uint8_t> packet(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& params) const;
  std::vector<StatusPacket> exchange(const std::vector<uint8_t>& request, size_t answers, const std::string& what);
  int default_baudrate_;
};

class FeetechMotorsBus : public MotorsBus {
 public:
  explicit FeetechMotorsBus(std::string port, std::map<std::string, Motor> motors = {})
      : MotorsBus(ServoFamily::feetech, std::move(port), std::move(motors), 1'000'000) {}
  // Baud rate → ids answering at it. Safe on several ports at once.
  static std::map<int, std::vector<int>> scan_port(const std::string& port) {
    return scan(ServoFamily::feetech, port);
  }
};

class DynamixelMotorsBus : public MotorsBus {
 public:
  explicit DynamixelMotorsBus(std::string port, std::map<std::string, Motor> motors = {})
      : MotorsBus(ServoFamily::dynamixel, std::move(port), std::move(motors), 1'000'000) {}
  static std::map<int, std::vector<int>> scan_port(const std::string& port) {
    return scan(ServoFamily::dynamixel, port);
  }
};

}  // namespace armkit
