#pragma once
// Simulated servos on a pseudo-terminal, speaking the real Feetech or
// Dynamixel 2.0 wire protocol with the firmware rules of the vendors'
// manuals: the control tables of armkit/protocol with their access rules
// and defaults, homing offset, drive mode and position limits applied by
// the servo, the EEPROM lock, status return levels, error statuses,
// REG_WRITE/ACTION and per-servo baud rates. Each servo has a horn whose
// physical position ("actual", in steps) a hand may hold or the motor
// drives toward its goal; it is brought up to date lazily at every access,
// so an idle bus costs nothing.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "armkit/protocol/control_table.hpp"
#include "armkit/serial/pty.hpp"

namespace armkit {

struct SimulatedServo {
  uint8_t id;
  std::string model;  // a model of armkit's control tables, e.g. "sts3215"
};

class SimulatedBus {
 public:
  // Every servo starts factory-fresh except for its id and baud rate.
  SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos);
  ~SimulatedBus();
  SimulatedBus(const SimulatedBus&) = delete;
  SimulatedBus& operator=(const SimulatedBus&) = delete;

  const std::string& port() const { return pty_.slave_path(); }
  ServoFamily family() const { return family_; }
  size_t size() const { return servos_.size(); }

  // What each servo keeps through a power cycle: EEPROM register → value.
  using Eeprom = std::map<std::string, int32_t>;
  std::vector<Eeprom> saved_eeprom();
  // As after a power cycle with this EEPROM; unknown names are ignored.
  void load_eeprom(const std::vector<Eeprom>& eeprom);
  // Called (on the bus thread) after a write changed what survives a power cycle.
  void on_eeprom_saved(std::function<void()> callback);

  // Registers by servo index (order of the constructor), decoded; these
  // bypass the wire's access rules, as a test fixture or the rig set-up would.
  int32_t get(size_t servo, std::string_view reg);
  void set(size_t servo, std::string_view reg, int32_t value, bool persist = true);

  // The horn: physical position in steps, without offset or direction.
  double actual(size_t servo);
  void set_actual(size_t servo, double steps);
  // A hand holding the horn: position in steps at t seconds since the bus began.
  void set_hand(size_t servo, std::function<double(double)> hand);
  void set_speed(double steps_per_second) { speed_ = steps_per_second; }

  // Raw memory by id, bypassing every rule (tests).
  void write_register(uint8_t id, uint16_t address, uint32_t value, int size);
  uint32_t read_register(uint8_t id, uint16_t address, int size);

  // Fault injection: the next `n` answers are dropped / have a byte flipped.
  void drop_answers(int n) { drop_ = n; }
  void corrupt_answers(int n) { corrupt_ = n; }
  // Every request is taken up this much later, as by a servo thread that a
  // busy machine schedules late (0: at once).
  void delay_requests(std::chrono::milliseconds delay) { delay_ = delay; }
  // The error byte every answer carries from now on (0: none).
  void set_error_byte(uint8_t error) { error_byte_ = error; }

 private:
  struct Servo {
    const ControlTable* table;
    std::vector<uint8_t> memory;
    std::vector<uint8_t> persisted;  // EEPROM as it would be after a power cycle
    double actual = 2048;
    std::function<double(double)> hand;
    std::optional<std::pair<uint16_t, std::vector<uint8_t>>> registered;  // REG_WRITE awaiting ACTION
  };
  using Clock = std::chrono::steady_clock;

  void serve();
  void handle(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& params);
  void answer(uint8_t id, uint8_t error, const std::vector<uint8_t>& params);
  bool answers_at_current_rate(const Servo& s) const;
  Servo* by_id(uint8_t id);
  uint8_t id_of(const Servo& s) const;
  int baudrate_of(const Servo& s) const;

  uint32_t load(const Servo& s, uint16_t address, size_t size) const;
  std::vector<uint8_t> memory_bytes(const Servo& s, uint16_t address, size_t size) const;
  void store(Servo& s, uint16_t address, std::span<const uint8_t> bytes, bool persist);
  int32_t value(const Servo& s, std::string_view reg) const;
  void put(Servo& s, std::string_view reg, int32_t value);
  bool torque_on(const Servo& s) const;
  // The firmware's checks on a write over the wire: 0 or an error to report.
  uint8_t refuse_write(const Servo& s, uint16_t address, size_t size) const;
  uint8_t refuse_read(const Servo& s, uint16_t address, size_t size) const;
  void apply_write(Servo& s, uint16_t address, const std::vector<uint8_t>& data);
  bool status_allowed(const Servo& s, uint8_t instruction) const;

  void update_locked();
  double present_from_actual(const Servo& s, double actual) const;
  std::optional<double> target_actual(const Servo& s) const;

  ServoFamily family_;
  PseudoTerminal pty_;
  int slave_fd_ = -1;  // held open so the master never sees a hang-up
  std::mutex mutex_;   // guards servos_
  std::vector<Servo> servos_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point updated_ = start_;
  std::atomic<double> speed_{3000};
  std::function<void()> eeprom_saved_;
  bool eeprom_dirty_ = false;
  std::atomic<int> drop_{0};
  std::atomic<int> corrupt_{0};
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
  std::atomic<uint8_t> error_byte_{0};
  int wake_[2] = {-1, -1};  // a pipe that ends the bus thread's poll
  std::thread thread_;
};

}  // namespace armkit
