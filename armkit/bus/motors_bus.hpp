#pragma once
// Motor buses of the two servo families: open a port, ping, read, write,
// sync read and sync write, by register name (armkit's control tables) or
// by address, and scan a port for motors at every rate the family supports.
// Every failure names the port and the motor.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "armkit/protocol/control_table.hpp"
#include "armkit/protocol/packets.hpp"
#include "armkit/serial/serial_port.hpp"

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
  // mapping must answer its own ping with the model its table names (and on
  // Feetech run one firmware version). Throws BusError naming each missing
  // or wrong motor.
  void _connect(bool handshake = false);
  bool is_connected() const { return port_handler.port != nullptr; }
  void set_baudrate(int baudrate);
  int default_baudrate() const { return default_baudrate_; }

  // Registers by name, values decoded with the register's sign encoding. A
  // read or write whose answer carries a servo error fails, naming the motor.
  int32_t read(std::string_view reg, const std::string& motor);
  void write(std::string_view reg, const std::string& motor, int32_t value);
  std::map<std::string, int32_t> sync_read(std::string_view reg, const std::vector<std::string>& motors);
  void sync_write(std::string_view reg, const std::map<std::string, int32_t>& values);

  // By address. (register value, communication result: 0 ok, servo error byte).
  std::tuple<uint32_t, int, int> _read(uint16_t address, int size, uint8_t motor_id);
  void write(uint16_t address, int size, uint8_t motor_id, uint32_t value);
  // One value per id; throws when any motor fails to answer.
  std::map<uint8_t, uint32_t> sync_read(uint16_t address, int size, const std::vector<uint8_t>& ids);
  void sync_write(uint16_t address, int size, const std::map<uint8_t, uint32_t>& values);
  // The model number of the motor with this id; nothing when it stays silent.
  std::optional<uint16_t> ping(uint8_t id);
  // Ids that answer a broadcast ping at the current rate within `listen`;
  // the listen ends early once `enough` servos answered.
  std::vector<uint8_t> broadcast_ping(std::chrono::milliseconds listen = std::chrono::milliseconds(25),
                                      size_t enough = SIZE_MAX);
  // Requests sent again since the port was made: a noisy cable or a busy machine shows here first.
  uint64_t retries() const { return retries_; }

 protected:
  static std::map<int, std::vector<int>> scan(ServoFamily family, const std::string& port);

 private:
  using Accept = std::function<bool(const StatusPacket&)>;
  SerialPort& open_port();
  const Motor& motor(const std::string& name) const;
  const Register& register_of(std::string_view reg, const std::vector<std::string>& motors) const;
  std::vector<uint8_t> packet(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& params) const;
  std::vector<StatusPacket> exchange(const std::vector<uint8_t>& request, size_t answers, const std::string& what,
                                     const Accept& accept);
  void check_status(const StatusPacket& status, const std::string& what) const;
  void assert_same_firmware();
  int default_baudrate_;
  // After a retried request: answers to its earlier attempts may still come,
  // as late after one another as the servo was late; the next request first
  // drains them until the line stayed quiet this long, for at most
  // `straggler_attempts_` such gaps.
  std::chrono::milliseconds stragglers_{0};
  int straggler_attempts_ = 0;
  // How long this bus's answers have been seen to take when one came only
  // on a retry: later requests listen at least this long at once, so a slow
  // adapter costs its delay per request, not a retry and a drain.
  std::chrono::milliseconds learned_listen_{0};
  std::chrono::steady_clock::time_point last_write_{};  // of the last attempt
  uint64_t retries_ = 0;
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

// Words for a status packet's error byte, e.g. "access error".
std::string describe_servo_error(ServoFamily family, uint8_t error);

}  // namespace armkit
