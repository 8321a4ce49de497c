#pragma once
// The firmware of simulated servos sharing one bus, with no line attached:
// bytes in, status packets out. It follows the Feetech and Dynamixel 2.0
// protocols and the rules of the vendors' manuals: the control tables of
// armkit/protocol with their access rules and defaults, homing offset,
// drive mode and position limits applied by the servo, the EEPROM lock,
// status return levels, error statuses, REG_WRITE/ACTION, Dynamixel
// BULK_READ and REBOOT, per-servo baud rates, and each answer sent after
// the servo's Return_Delay_Time. Each servo has a horn whose physical
// position ("actual", in steps) a hand may hold or the motor drives toward
// its goal; it is brought up to date at every access. Not thread-safe:
// SimulatedBus serialises access.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "armkit/protocol/control_table.hpp"

namespace armkit {

struct SimulatedServo {
  uint8_t id;
  std::string model;  // a model of armkit's control tables, e.g. "sts3215"
};

class ServoFirmware {
 public:
  using Clock = std::chrono::steady_clock;

  // Every servo starts factory-fresh except for its id and baud rate.
  ServoFirmware(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos);

  ServoFamily family() const { return family_; }
  size_t size() const { return servos_.size(); }

  // A status packet and how long after the request its servo sends it.
  struct Answer {
    std::vector<uint8_t> bytes;
    std::chrono::microseconds delay;
  };
  // Bytes that arrived on the line at `line_baudrate`; the answers, in the
  // order the servos send them. Incomplete packets wait for more bytes.
  std::vector<Answer> receive(std::span<const uint8_t> bytes, int line_baudrate);
  // Whether any servo listens at this rate (bytes at other rates are noise).
  bool anyone_listens(int line_baudrate) const;

  // What each servo keeps through a power cycle: EEPROM register → value.
  using Eeprom = std::map<std::string, int32_t>;
  std::vector<Eeprom> saved_eeprom() const;
  // As after a power cycle with this EEPROM; unknown names are ignored.
  void load_eeprom(const std::vector<Eeprom>& eeprom);
  // Whether a write changed what survives a power cycle since last asked.
  bool take_eeprom_changed();

  // Registers by servo index, decoded, bypassing the wire's access rules.
  int32_t get(size_t servo, std::string_view reg);
  void set(size_t servo, std::string_view reg, int32_t value, bool persist = true);
  double actual(size_t servo);
  // Where the horn is when the servo reports `present`, with its offset and direction now.
  double actual_for_present(size_t servo, double present);
  void set_actual(size_t servo, double steps);
  void set_hand(size_t servo, std::function<double(double)> hand);
  void set_speed(double steps_per_second) { speed_ = steps_per_second; }
  // Raw memory by id (throws std::out_of_range for an unknown id).
  void write_register(uint8_t id, uint16_t address, uint32_t value, int size);
  uint32_t read_register(uint8_t id, uint16_t address, int size);
  // The error bits (overload, overheating...) every answer of all servos,
  // or of one, carries from now on (0: none).
  // The controller board wired to one servo only, the others unplugged (as
  // when motors are set up one by one); nullopt: to every servo again.
  void connect_only(std::optional<size_t> servo);
  // A servo as it comes out of the box: every register at its factory
  // value (id 1, the family's factory rate), saved.
  void factory_reset(size_t servo);
  void set_error_byte(uint8_t error);
  void set_error_byte(size_t servo, uint8_t error) { servos_.at(servo).error_byte = error; }

 private:
  struct Servo {
    const ControlTable* table;
    std::vector<uint8_t> memory;
    std::vector<uint8_t> persisted;  // EEPROM as it would be after a power cycle
    double actual = 2048;
    std::function<double(double)> hand;
    std::optional<std::pair<uint16_t, std::vector<uint8_t>>> registered;  // REG_WRITE awaiting ACTION
    uint8_t error_byte = 0;  // a fault the servo reports in every answer
    bool plugged = true;     // wired to the controller board
  };
  struct Request {
    uint8_t id, instruction;
    std::span<const uint8_t> params;
    int line_baudrate;
    std::vector<Answer>* answers;
  };

  void handle(const Request& r);
  void handle_write(const Request& r, bool registered);
  void handle_sync_read(const Request& r);
  void handle_sync_write(const Request& r);
  void handle_bulk_read(const Request& r);
  void handle_reboot(const Request& r);
  void answer(const Request& r, const Servo& s, uint8_t error, const std::vector<uint8_t>& params);
  void answer_as(const Request& r, uint8_t id, std::chrono::microseconds delay, uint8_t error,
                 const std::vector<uint8_t>& params);
  std::vector<Servo*> targets(uint8_t id, int line_baudrate);
  bool listens_at(const Servo& s, int line_baudrate) const;
  Servo* by_id(uint8_t id);
  uint8_t id_of(const Servo& s) const;
  int baudrate_of(const Servo& s) const;

  uint32_t load(const Servo& s, uint16_t address, size_t size) const;
  std::vector<uint8_t> memory_bytes(const Servo& s, uint16_t address, size_t size) const;
  void store(Servo& s, uint16_t address, std::span<const uint8_t> bytes, bool persist);
  int32_t value(const Servo& s, std::string_view reg) const;
  void put(Servo& s, std::string_view reg, int32_t value);
  void power_cycle_ram(Servo& s);
  bool torque_on(const Servo& s) const;
  uint8_t refuse_write(const Servo& s, uint16_t address, std::span<const uint8_t> data) const;
  uint8_t refuse_read(const Servo& s, uint16_t address, size_t size) const;
  void apply_write(Servo& s, uint16_t address, std::span<const uint8_t> data);
  bool status_allowed(const Servo& s, uint8_t instruction) const;

  void update();
  double present_from_actual(const Servo& s, double actual) const;
  std::optional<double> target_actual(const Servo& s) const;

  ServoFamily family_;
  std::vector<Servo> servos_;
  std::vector<uint8_t> pending_;  // bytes of a packet still arriving
  Clock::time_point start_ = Clock::now();
  Clock::time_point updated_ = start_;
  double speed_ = 3000;
  bool eeprom_changed_ = false;
};

}  // namespace armkit
