#pragma once
// Simulated servos on a pseudo-terminal, speaking the real Feetech or
// Dynamixel 2.0 wire protocol, answering only at their configured baud rate.
// A bus thread serves the instructions; tests and the rig change registers
// through the accessors (thread-safe).
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "armkit/serial/pty.hpp"

namespace armkit {

enum class ServoFamily { feetech, dynamixel };

struct SimulatedServo {
  uint8_t id;
  uint16_t model;
};

class SimulatedBus {
 public:
  SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos);
  ~SimulatedBus();
  SimulatedBus(const SimulatedBus&) = delete;
  SimulatedBus& operator=(const SimulatedBus&) = delete;

  const std::string& port() const { return pty_.slave_path(); }
  int baudrate() const { return baudrate_; }

  void write_register(uint8_t id, uint16_t address, uint32_t value, int size);
  uint32_t read_register(uint8_t id, uint16_t address, int size);

  // Fault injection: the next `n` answers are dropped / have a byte flipped.
  void drop_answers(int n) { drop_ = n; }
  void corrupt_answers(int n) { corrupt_ = n; }
  // The error byte every answer carries from now on (0: none).
  void set_error_byte(uint8_t error) { error_byte_ = error; }

 private:
  void serve();
  void handle(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& params);
  void answer(uint8_t id, const std::vector<uint8_t>& params);
  std::vector<uint8_t> read_bytes(uint8_t id, uint16_t address, size_t size);

  ServoFamily family_;
  int baudrate_;
  PseudoTerminal pty_;
  std::mutex mutex_;  // guards registers_
  std::map<uint8_t, std::vector<uint8_t>> registers_;  // id → control table
  std::atomic<int> drop_{0};
  std::atomic<int> corrupt_{0};
  std::atomic<uint8_t> error_byte_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace armkit
