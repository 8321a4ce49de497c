#pragma once
// Simulated servos on a pseudo-terminal: ServoFirmware behind a serial
// line. The line thread takes what a program writes to the port, hands it
// to the firmware at the rate the port is set to, and writes the answers
// back, each after its servo's return delay. Faults of the line can be
// injected (dropped or corrupted answers, requests taken up late).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "armkit/serial/pty.hpp"
#include "armkit/sim/servo_firmware.hpp"

namespace armkit {

class SimulatedBus {
 public:
  // Every servo starts factory-fresh except for its id and baud rate.
  SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos);
  ~SimulatedBus();
  SimulatedBus(const SimulatedBus&) = delete;
  SimulatedBus& operator=(const SimulatedBus&) = delete;

  const std::string& port() const { return pty_.slave_path(); }
  ServoFamily family() const { return firmware_.family(); }
  size_t size() const { return firmware_.size(); }

  // What each servo keeps through a power cycle: EEPROM register → value.
  using Eeprom = ServoFirmware::Eeprom;
  std::vector<Eeprom> saved_eeprom();
  // As after a power cycle with this EEPROM; unknown names are ignored.
  void load_eeprom(const std::vector<Eeprom>& eeprom);
  // Called (on the line thread) after a write changed what survives a power cycle.
  void on_eeprom_saved(std::function<void()> callback);

  // Registers by servo index (order of the constructor), decoded; these
  // bypass the wire's access rules, as a test fixture or the rig set-up would.
  // See ServoFirmware::connect_only and factory_reset.
  void connect_only(std::optional<size_t> servo);
  void factory_reset(size_t servo);
  int32_t get(size_t servo, std::string_view reg);
  void set(size_t servo, std::string_view reg, int32_t value, bool persist = true);

  // The horn: physical position in steps, without offset or direction.
  double actual(size_t servo);
  double actual_for_present(size_t servo, double present);
  void set_actual(size_t servo, double steps);
  // A hand holding the horn: position in steps at t seconds since the bus began.
  void set_hand(size_t servo, std::function<double(double)> hand);
  void set_speed(double steps_per_second);

  // Raw memory by id, bypassing every rule (tests).
  void write_register(uint8_t id, uint16_t address, uint32_t value, int size);
  uint32_t read_register(uint8_t id, uint16_t address, int size);

  // Fault injection: the next `n` answers are dropped / have a byte flipped.
  void drop_answers(int n) { drop_ = n; }
  void corrupt_answers(int n) { corrupt_ = n; }
  // The next `n` answers come with another servo's id (a reply to nobody's request).
  void misaddress_answers(int n) { misaddress_ = n; }
  // No answer at all for this long from now (a cable that lets go for a moment).
  void silence_for(std::chrono::milliseconds gap) {
    silent_until_ = (std::chrono::steady_clock::now() + gap).time_since_epoch().count();
  }
  // Every request is taken up this much later, as by a servo thread that a
  // busy machine schedules late (0: at once).
  void delay_requests(std::chrono::milliseconds delay) { delay_ = delay; }
  // Status packets put onto the line so far (counted before they are sent).
  size_t answers_sent() const { return answers_sent_; }
  // The error bits every answer of all servos, or of one, carries from now on (0: none).
  void set_error_byte(uint8_t error);
  void set_error_byte(size_t servo, uint8_t error);

 private:
  void serve();
  void send(const ServoFirmware::Answer& answer, std::chrono::steady_clock::time_point due);

  PseudoTerminal pty_;
  int slave_fd_ = -1;  // held open so the master never sees a hang-up
  std::mutex mutex_;   // guards firmware_ and eeprom_saved_
  ServoFirmware firmware_;
  std::function<void()> eeprom_saved_;
  std::atomic<int> drop_{0};
  std::atomic<int> corrupt_{0};
  std::atomic<int> misaddress_{0};
  std::atomic<std::chrono::steady_clock::rep> silent_until_{0};
  std::atomic<size_t> answers_sent_{0};
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
  int wake_[2] = {-1, -1};  // a pipe that ends the line thread's poll
  std::thread thread_;
};

}  // namespace armkit
