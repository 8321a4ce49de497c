#include "armkit/sim/servo_sim.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "armkit/protocol/packets.hpp"
#include "armkit/serial/baud.hpp"
#include "armkit/serial/serial_port.hpp"

namespace armkit {

SimulatedBus::SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos)
    : firmware_(family, baudrate, std::move(servos)) {
  // Holding the slave side open keeps the master from reporting a hang-up
  // while no program uses the port, so the line thread sleeps in poll.
  slave_fd_ = ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_fd_ < 0 || !baud::set_raw(slave_fd_, baudrate) || ::pipe2(wake_, O_CLOEXEC) != 0) {
    if (slave_fd_ >= 0) ::close(slave_fd_);
    throw SerialError("cannot set up the simulated bus on " + pty_.slave_path());
  }
  thread_ = std::thread([this] { serve(); });
}

SimulatedBus::~SimulatedBus() {
  const char stop = 1;
  [[maybe_unused]] auto n = ::write(wake_[1], &stop, 1);
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  ::close(slave_fd_);
}

std::vector<SimulatedBus::Eeprom> SimulatedBus::saved_eeprom() {
  std::lock_guard lock(mutex_);
  return firmware_.saved_eeprom();
}

void SimulatedBus::load_eeprom(const std::vector<Eeprom>& eeprom) {
  std::lock_guard lock(mutex_);
  firmware_.load_eeprom(eeprom);
}

void SimulatedBus::on_eeprom_saved(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  eeprom_saved_ = std::move(callback);
}

int32_t SimulatedBus::get(size_t servo, std::string_view reg) {
  std::lock_guard lock(mutex_);
  return firmware_.get(servo, reg);
}

void SimulatedBus::connect_only(std::optional<size_t> servo) {
  std::lock_guard lock(mutex_);
  firmware_.connect_only(servo);
}

void SimulatedBus::factory_reset(size_t servo) {
  std::lock_guard lock(mutex_);
  firmware_.factory_reset(servo);
}

void SimulatedBus::set(size_t servo, std::string_view reg, int32_t value, bool persist) {
  std::lock_guard lock(mutex_);
  firmware_.set(servo, reg, value, persist);
}

double SimulatedBus::actual(size_t servo) {
  std::lock_guard lock(mutex_);
  return firmware_.actual(servo);
}

double SimulatedBus::actual_for_present(size_t servo, double present) {
  std::lock_guard lock(mutex_);
  return firmware_.actual_for_present(servo, present);
}

void SimulatedBus::set_actual(size_t servo, double steps) {
  std::lock_guard lock(mutex_);
  firmware_.set_actual(servo, steps);
}

void SimulatedBus::set_hand(size_t servo, std::function<double(double)> hand) {
  std::lock_guard lock(mutex_);
  firmware_.set_hand(servo, std::move(hand));
}

void SimulatedBus::set_speed(double steps_per_second) {
  std::lock_guard lock(mutex_);
  firmware_.set_speed(steps_per_second);
}

void SimulatedBus::write_register(uint8_t id, uint16_t address, uint32_t value, int size) {
  std::lock_guard lock(mutex_);
  firmware_.write_register(id, address, value, size);
}

uint32_t SimulatedBus::read_register(uint8_t id, uint16_t address, int size) {
  std::lock_guard lock(mutex_);
  return firmware_.read_register(id, address, size);
}

void SimulatedBus::set_error_byte(uint8_t error) {
  std::lock_guard lock(mutex_);
  firmware_.set_error_byte(error);
}

void SimulatedBus::set_error_byte(size_t servo, uint8_t error) {
  std::lock_guard lock(mutex_);
  firmware_.set_error_byte(servo, error);
}

// One status packet onto the line at `due`: after the servo's return delay.
void SimulatedBus::send(const ServoFirmware::Answer& answer, std::chrono::steady_clock::time_point due) {
  if (answer.delay.count() > 0) std::this_thread::sleep_until(due);
  if (std::chrono::steady_clock::now().time_since_epoch().count() < silent_until_) return;
  if (drop_ > 0) {
    --drop_;
    return;
  }
  std::vector<uint8_t> packet = answer.bytes;
  if (misaddress_ > 0) {
    --misaddress_;
    const bool feetech = family() == ServoFamily::feetech;
    if (const auto parsed = feetech ? feetech::parse_status(packet) : dynamixel::parse_status(packet)) {
      const StatusPacket& p = parsed->packet;
      const auto other = static_cast<uint8_t>(p.id % 250 + 1);
      packet = feetech ? feetech::status(other, p.error, p.params) : dynamixel::status(other, p.error, p.params);
    }
  }
  if (corrupt_ > 0) {
    --corrupt_;
    packet[packet.size() - 2] ^= 0x5A;
  }
  ++answers_sent_;
  [[maybe_unused]] auto n = ::write(pty_.master_fd(), packet.data(), packet.size());
}

void SimulatedBus::serve() {
  for (;;) {
    pollfd fds[2] = {{pty_.master_fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    uint8_t chunk[512];
    const ssize_t n = ::read(pty_.master_fd(), chunk, sizeof chunk);
    if (n <= 0) continue;
    if (const auto delay = delay_.load(); delay.count() > 0) std::this_thread::sleep_for(delay);
    std::vector<ServoFirmware::Answer> answers;
    std::function<void()> notify;
    {
      std::lock_guard lock(mutex_);
      answers = firmware_.receive({chunk, static_cast<size_t>(n)}, baud::get(pty_.master_fd()));
      if (firmware_.take_eeprom_changed()) notify = eeprom_saved_;
    }
    // Each answer is due its servo's return delay after the one before, counted
    // from when the request came: a late wake-up does not push the rest back.
    auto due = std::chrono::steady_clock::now();
    for (const auto& answer : answers) send(answer, due += answer.delay);
    if (notify) notify();
  }
}

}  // namespace armkit
