#include "armkit/sim/servo_sim.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "armkit/protocol/packets.hpp"
#include "armkit/serial/baud.hpp"
#include "armkit/serial/serial_port.hpp"

namespace armkit {
namespace {

constexpr int kSteps = 4096;

int wrap_steps(long v) { return static_cast<int>(((v % kSteps) + kSteps) % kSteps); }

std::vector<uint8_t> le_bytes(uint32_t v, size_t size) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

bool is_read(uint8_t instruction) { return instruction == READ || instruction == SYNC_READ; }

// Where a Dynamixel frame starts and ends, and whom it is for, even when its
// CRC is wrong: a servo reports a CRC error to the id the header names.
struct Frame {
  size_t start, total;
  uint8_t id;
};
std::optional<Frame> dynamixel_frame(const std::vector<uint8_t>& b) {
  for (size_t s = 0; s + 7 <= b.size(); ++s) {
    if (b[s] != 0xFF || b[s + 1] != 0xFF || b[s + 2] != 0xFD || b[s + 3] != 0x00) continue;
    const size_t len = b[s + 5] | (static_cast<size_t>(b[s + 6]) << 8);
    if (len < 3 || len > 1024 || b.size() < s + 7 + len) return std::nullopt;
    return Frame{s, 7 + len, b[s + 4]};
  }
  return std::nullopt;
}

}  // namespace

SimulatedBus::SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos) : family_(family) {
  const auto code = code_for_baudrate(family, baudrate);
  if (!code) throw std::invalid_argument("no baud rate code for " + std::to_string(baudrate) + " in this servo family");
  for (const auto& spec : servos) {
    Servo s;
    s.table = &control_table(spec.model);
    if (s.table->family != family) throw std::invalid_argument(spec.model + " is not of this bus's family");
    s.memory.assign(s.table->end, 0);
    for (const auto& reg : s.table->registers) store(s, reg.address, le_bytes(encode_value(reg, reg.factory_default), reg.size), false);
    put(s, "ID", spec.id);
    put(s, "Baud_Rate", *code);
    s.persisted = s.memory;
    servos_.push_back(std::move(s));
  }
  // Holding the slave side open keeps the master from reporting a hang-up
  // while no program uses the port, so the bus thread sleeps in poll.
  slave_fd_ = ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_fd_ < 0 || !baud::set_raw(slave_fd_, baudrate) || ::pipe2(wake_, O_CLOEXEC) != 0) {
    if (slave_fd_ >= 0) ::close(slave_fd_);
    throw SerialError("cannot set up the simulated bus on " + pty_.slave_path());
  }
  update_locked();
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

// ---- memory ----

std::vector<uint8_t> SimulatedBus::memory_bytes(const Servo& s, uint16_t address, size_t size) const {
  return {s.memory.begin() + address, s.memory.begin() + static_cast<long>(address + size)};
}

uint32_t SimulatedBus::load(const Servo& s, uint16_t address, size_t size) const {
  uint32_t v = 0;
  for (size_t i = 0; i < size && address + i < s.memory.size(); ++i) v |= static_cast<uint32_t>(s.memory[address + i]) << (8 * i);
  return v;
}

void SimulatedBus::store(Servo& s, uint16_t address, std::span<const uint8_t> bytes, bool persist) {
  for (size_t i = 0; i < bytes.size() && address + i < s.memory.size(); ++i) {
    s.memory[address + i] = bytes[i];
    const Register* reg = s.table->covering(static_cast<uint16_t>(address + i));
    if (persist && reg && reg->storage == Storage::eeprom) s.persisted[address + i] = bytes[i];
  }
}

int32_t SimulatedBus::value(const Servo& s, std::string_view name) const {
  const Register& reg = s.table->at(name);
  return decode_value(reg, load(s, reg.address, reg.size));
}

void SimulatedBus::put(Servo& s, std::string_view name, int32_t v) {
  const Register& reg = s.table->at(name);
  store(s, reg.address, le_bytes(encode_value(reg, v), reg.size), false);
}

uint8_t SimulatedBus::id_of(const Servo& s) const { return static_cast<uint8_t>(value(s, "ID")); }
int SimulatedBus::baudrate_of(const Servo& s) const { return baudrate_for_code(family_, value(s, "Baud_Rate")).value_or(0); }
bool SimulatedBus::torque_on(const Servo& s) const { return value(s, "Torque_Enable") != 0; }

SimulatedBus::Servo* SimulatedBus::by_id(uint8_t id) {
  for (auto& s : servos_) {
    if (id_of(s) == id) return &s;
  }
  return nullptr;
}

// ---- the horn ----

double SimulatedBus::present_from_actual(const Servo& s, double actual) const {
  const long a = std::lround(actual);
  if (family_ == ServoFamily::feetech) return wrap_steps(a - value(s, "Homing_Offset"));
  const int direction = value(s, "Drive_Mode") & 1 ? -1 : 1;
  return static_cast<double>(direction * a + value(s, "Homing_Offset"));
}

// Where the motor drives the horn, or nothing while it is not holding a position.
std::optional<double> SimulatedBus::target_actual(const Servo& s) const {
  if (!torque_on(s)) return std::nullopt;
  long goal = value(s, "Goal_Position");
  const long lo = value(s, "Min_Position_Limit"), hi = value(s, "Max_Position_Limit");
  const int mode = value(s, "Operating_Mode");
  if (family_ == ServoFamily::feetech) {
    if (mode != 0) return std::nullopt;
    if (lo != 0 || hi != 0) goal = std::clamp(goal, lo, hi);  // both 0: no limits
    return wrap_steps(goal + value(s, "Homing_Offset"));
  }
  if (mode != 3 && mode != 4 && mode != 5) return std::nullopt;
  if (mode == 3) goal = std::clamp(goal, lo, hi);  // extended and current-based position ignore the limits
  const int direction = value(s, "Drive_Mode") & 1 ? -1 : 1;
  return static_cast<double>(direction * (goal - value(s, "Homing_Offset")));
}

void SimulatedBus::update_locked() {
  const auto now = Clock::now();
  const double t = std::chrono::duration<double>(now - start_).count();
  const double dt = std::chrono::duration<double>(now - updated_).count();
  updated_ = now;
  for (auto& s : servos_) {
    const double before = s.actual;
    if (s.hand) {
      s.actual = s.hand(t);
    } else if (const auto target = target_actual(s)) {
      const double step = speed_ * dt;
      s.actual += std::clamp(*target - s.actual, -step, step);
    }
    put(s, "Present_Position", static_cast<int32_t>(present_from_actual(s, s.actual)));
    put(s, "Moving", std::abs(s.actual - before) > 0.5 ? 1 : 0);
  }
}

// ---- accessors ----

std::vector<SimulatedBus::Eeprom> SimulatedBus::saved_eeprom() {
  std::lock_guard lock(mutex_);
  std::vector<Eeprom> out;
  for (const auto& s : servos_) {
    Eeprom e;
    for (const auto& reg : s.table->registers) {
      if (reg.storage != Storage::eeprom || reg.access == Access::read_only) continue;
      uint32_t raw = 0;
      for (size_t i = 0; i < reg.size; ++i) raw |= static_cast<uint32_t>(s.persisted[reg.address + i]) << (8 * i);
      e[std::string(reg.name)] = decode_value(reg, raw);
    }
    out.push_back(std::move(e));
  }
  return out;
}

void SimulatedBus::load_eeprom(const std::vector<Eeprom>& eeprom) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < servos_.size() && i < eeprom.size(); ++i) {
    Servo& s = servos_[i];
    for (const auto& reg : s.table->registers) {  // a power cycle: RAM back to its defaults
      if (reg.storage == Storage::ram) put(s, reg.name, reg.factory_default);
    }
    for (const auto& [name, v] : eeprom[i]) {
      const Register* reg = s.table->find(name);
      if (reg && reg->storage == Storage::eeprom && reg->access == Access::read_write) put(s, name, v);
    }
    s.persisted = s.memory;
  }
  update_locked();
}

void SimulatedBus::on_eeprom_saved(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  eeprom_saved_ = std::move(callback);
}

int32_t SimulatedBus::get(size_t servo, std::string_view reg) {
  std::lock_guard lock(mutex_);
  update_locked();
  return value(servos_.at(servo), reg);
}

void SimulatedBus::set(size_t servo, std::string_view name, int32_t v, bool persist) {
  std::lock_guard lock(mutex_);
  update_locked();
  Servo& s = servos_.at(servo);
  const Register& reg = s.table->at(name);
  store(s, reg.address, le_bytes(encode_value(reg, v), reg.size), persist);
  update_locked();
}

double SimulatedBus::actual(size_t servo) {
  std::lock_guard lock(mutex_);
  update_locked();
  return servos_.at(servo).actual;
}

void SimulatedBus::set_actual(size_t servo, double steps) {
  std::lock_guard lock(mutex_);
  update_locked();
  servos_.at(servo).actual = steps;
  update_locked();
}

void SimulatedBus::set_hand(size_t servo, std::function<double(double)> hand) {
  std::lock_guard lock(mutex_);
  update_locked();
  servos_.at(servo).hand = std::move(hand);
  update_locked();
}

void SimulatedBus::write_register(uint8_t id, uint16_t address, uint32_t v, int size) {
  std::lock_guard lock(mutex_);
  update_locked();
  Servo* s = by_id(id);
  if (!s) throw std::out_of_range("no simulated servo with id " + std::to_string(id));
  store(*s, address, le_bytes(v, static_cast<size_t>(size)), true);
}

uint32_t SimulatedBus::read_register(uint8_t id, uint16_t address, int size) {
  std::lock_guard lock(mutex_);
  update_locked();
  Servo* s = by_id(id);
  if (!s) throw std::out_of_range("no simulated servo with id " + std::to_string(id));
  return load(*s, address, static_cast<size_t>(size));
}

// ---- firmware rules ----

uint8_t SimulatedBus::refuse_read(const Servo& s, uint16_t address, size_t size) const {
  if (size == 0 || address + size > s.table->end) return dynamixel::ACCESS_ERROR;
  return 0;
}

uint8_t SimulatedBus::refuse_write(const Servo& s, uint16_t address, size_t size) const {
  if (size == 0 || address + size > s.table->end) return dynamixel::ACCESS_ERROR;
  for (size_t i = 0; i < size; ++i) {
    const Register* reg = s.table->covering(static_cast<uint16_t>(address + i));
    if (!reg) continue;
    if (reg->access == Access::read_only) return dynamixel::ACCESS_ERROR;
    // Dynamixel keeps its EEPROM shut while the motor holds torque.
    if (family_ == ServoFamily::dynamixel && reg->storage == Storage::eeprom && torque_on(s)) return dynamixel::ACCESS_ERROR;
  }
  return 0;
}

void SimulatedBus::apply_write(Servo& s, uint16_t address, const std::vector<uint8_t>& data) {
  const bool torque_was_on = torque_on(s);
  // Feetech saves EPROM writes only while Lock is 0; with Lock 1 they act
  // until the next power cycle. Dynamixel saves every accepted write.
  const bool persist = family_ == ServoFamily::dynamixel || value(s, "Lock") == 0;
  const auto saved_before = s.persisted;
  store(s, address, data, persist);
  // Torque coming on holds the horn where it is.
  if (!torque_was_on && torque_on(s)) put(s, "Goal_Position", value(s, "Present_Position"));
  if (s.persisted != saved_before) eeprom_dirty_ = true;
}

bool SimulatedBus::status_allowed(const Servo& s, uint8_t instruction) const {
  if (instruction == PING) return true;
  if (family_ == ServoFamily::feetech) return value(s, "Response_Status_Level") != 0 || is_read(instruction);
  const int level = value(s, "Status_Return_Level");
  return level >= 2 || (level == 1 && is_read(instruction));
}

bool SimulatedBus::answers_at_current_rate(const Servo& s) const { return baud::get(pty_.master_fd()) == baudrate_of(s); }

void SimulatedBus::answer(uint8_t id, uint8_t error, const std::vector<uint8_t>& params) {
  if (drop_ > 0) {
    --drop_;
    return;
  }
  error |= error_byte_;
  std::vector<uint8_t> packet =
      family_ == ServoFamily::feetech ? feetech::status(id, error, params) : dynamixel::status(id, error, params);
  if (corrupt_ > 0) {
    --corrupt_;
    packet[packet.size() - 2] ^= 0x5A;
  }
  [[maybe_unused]] auto n = ::write(pty_.master_fd(), packet.data(), packet.size());
}

void SimulatedBus::handle(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& p) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  const size_t addr_width = dxl ? 2 : 1;
  auto word = [&](size_t at) -> uint16_t {
    return dxl ? static_cast<uint16_t>(p[at] | p[at + 1] << 8) : p[at];
  };
  // Servos this packet reaches and that hear it at the line's current rate.
  std::vector<Servo*> targets;
  for (auto& s : servos_) {
    if ((id == BROADCAST_ID || id_of(s) == id) && answers_at_current_rate(s)) targets.push_back(&s);
  }
  const bool unicast = id != BROADCAST_ID;
  auto reply = [&](Servo& s, uint8_t error, const std::vector<uint8_t>& params) {
    if (!status_allowed(s, instruction)) return;
    if (error && !dxl) return;  // Feetech has no way to report these: it stays silent
    answer(id_of(s), error, params);
  };
  auto write_like = [&](bool registered) {
    if (p.size() < addr_width + 1) {
      if (unicast && dxl) for (auto* s : targets) reply(*s, dynamixel::DATA_LENGTH_ERROR, {});
      return;
    }
    const uint16_t addr = word(0);
    const std::vector<uint8_t> data(p.begin() + static_cast<long>(addr_width), p.end());
    for (auto* s : targets) {
      // The answer goes out under the id and status level the request found.
      const uint8_t answer_id = id_of(*s);
      const bool allowed = status_allowed(*s, instruction);
      const uint8_t refused = refuse_write(*s, addr, data.size());
      if (!refused) {
        if (registered) {
          s->registered = {addr, data};
          if (dxl) put(*s, "Registered_Instruction", 1);
        } else {
          apply_write(*s, addr, data);
        }
      }
      // A refused Feetech write changes nothing and is answered as usual.
      if (unicast && allowed) answer(answer_id, dxl ? refused : 0, {});
    }
  };

  switch (instruction) {
    case PING:
      for (auto* s : targets) {
        std::vector<uint8_t> params;
        if (dxl) {
          params = le_bytes(s->table->model_number, 2);
          params.push_back(static_cast<uint8_t>(value(*s, "Firmware_Version")));
        }
        answer(id_of(*s), 0, params);
      }
      return;
    case READ: {
      if (!unicast) return;
      if (p.size() != (dxl ? 4u : 2u)) {
        if (dxl) for (auto* s : targets) reply(*s, dynamixel::DATA_LENGTH_ERROR, {});
        return;
      }
      const uint16_t addr = word(0), len = dxl ? word(2) : p[1];
      for (auto* s : targets) {
        if (const uint8_t refused = refuse_read(*s, addr, len)) reply(*s, refused, {});
        else reply(*s, 0, memory_bytes(*s, addr, len));
      }
      return;
    }
    case WRITE:
      write_like(false);
      return;
    case REG_WRITE:
      write_like(true);
      return;
    case ACTION:
      for (auto* s : targets) {
        if (s->registered) apply_write(*s, s->registered->first, s->registered->second);
        s->registered.reset();
        if (dxl) put(*s, "Registered_Instruction", 0);
        if (unicast) reply(*s, 0, {});
      }
      return;
    case SYNC_READ: {
      if (unicast || p.size() < 2 * addr_width) return;
      const uint16_t addr = word(0), len = dxl ? word(2) : p[1];
      for (size_t i = 2 * addr_width; i < p.size(); ++i) {
        for (auto* s : targets) {
          if (id_of(*s) != p[i]) continue;
          if (const uint8_t refused = refuse_read(*s, addr, len)) reply(*s, refused, {});
          else reply(*s, 0, memory_bytes(*s, addr, len));
        }
      }
      return;
    }
    case SYNC_WRITE: {
      if (unicast || p.size() < 2 * addr_width) return;
      const uint16_t addr = word(0), len = dxl ? word(2) : p[1];
      if (len == 0) return;
      for (size_t i = 2 * addr_width; i + len < p.size() + 1; i += 1 + len) {
        for (auto* s : targets) {
          if (id_of(*s) != p[i] || refuse_write(*s, addr, len)) continue;
          apply_write(*s, addr, std::vector<uint8_t>(p.begin() + static_cast<long>(i) + 1,
                                                     p.begin() + static_cast<long>(i + 1 + len)));
        }
      }
      return;
    }
    default:
      if (unicast && dxl) for (auto* s : targets) reply(*s, dynamixel::INSTRUCTION_ERROR, {});
      return;
  }
}

void SimulatedBus::serve() {
  std::vector<uint8_t> buffer;
  for (;;) {
    pollfd fds[2] = {{pty_.master_fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    uint8_t chunk[512];
    const ssize_t n = ::read(pty_.master_fd(), chunk, sizeof chunk);
    if (n <= 0) continue;
    if (const auto delay = delay_.load(); delay.count() > 0) std::this_thread::sleep_for(delay);
    std::function<void()> notify;
    {
      std::lock_guard lock(mutex_);
      // Bytes sent at a rate no servo listens at are noise to all of them.
      const bool anyone_listens =
          std::any_of(servos_.begin(), servos_.end(), [&](const Servo& s) { return answers_at_current_rate(s); });
      if (!anyone_listens) {
        buffer.clear();
        continue;
      }
      buffer.insert(buffer.end(), chunk, chunk + n);
      update_locked();
      for (;;) {
        std::optional<Parsed> parsed;
        try {
          parsed = family_ == ServoFamily::feetech ? feetech::parse_instruction(buffer)
                                                   : dynamixel::parse_instruction(buffer);
        } catch (const ProtocolError&) {
          const auto frame = family_ == ServoFamily::dynamixel ? dynamixel_frame(buffer) : std::nullopt;
          if (!frame) {
            buffer.erase(buffer.begin());  // resynchronise on the next header
            continue;
          }
          buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(frame->start + frame->total));
          Servo* s = frame->id == BROADCAST_ID ? nullptr : by_id(frame->id);
          if (s && answers_at_current_rate(*s) && value(*s, "Status_Return_Level") >= 2) {
            answer(frame->id, dynamixel::CRC_ERROR, {});
          }
          continue;
        }
        if (!parsed) break;
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(parsed->consumed));
        handle(parsed->packet.id, parsed->packet.error, parsed->packet.params);
        update_locked();
      }
      if (eeprom_dirty_) notify = eeprom_saved_;
      eeprom_dirty_ = false;
    }
    if (notify) notify();
  }
}

}  // namespace armkit
