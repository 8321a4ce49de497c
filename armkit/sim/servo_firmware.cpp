#include "armkit/sim/servo_firmware.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "armkit/protocol/packets.hpp"

namespace armkit {
namespace {

constexpr int kSteps = 4096;
constexpr uint8_t kReboot = 0x08;     // Dynamixel 2.0
constexpr uint8_t kBulkRead = 0x92;   // Dynamixel 2.0
constexpr auto kDelayUnit = std::chrono::microseconds(2);  // Return_Delay_Time counts 2 µs on both families

int wrap_steps(long v) { return static_cast<int>(((v % kSteps) + kSteps) % kSteps); }

std::vector<uint8_t> le_bytes(uint32_t v, size_t size) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

bool is_read(uint8_t instruction) { return instruction == READ || instruction == SYNC_READ || instruction == kBulkRead; }

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

ServoFirmware::ServoFirmware(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos) : family_(family) {
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
  update();
}

// ---- memory ----

std::vector<uint8_t> ServoFirmware::memory_bytes(const Servo& s, uint16_t address, size_t size) const {
  return {s.memory.begin() + address, s.memory.begin() + static_cast<long>(address + size)};
}

uint32_t ServoFirmware::load(const Servo& s, uint16_t address, size_t size) const {
  uint32_t v = 0;
  for (size_t i = 0; i < size && address + i < s.memory.size(); ++i) v |= static_cast<uint32_t>(s.memory[address + i]) << (8 * i);
  return v;
}

void ServoFirmware::store(Servo& s, uint16_t address, std::span<const uint8_t> bytes, bool persist) {
  for (size_t i = 0; i < bytes.size() && address + i < s.memory.size(); ++i) {
    s.memory[address + i] = bytes[i];
    const Register* reg = s.table->covering(static_cast<uint16_t>(address + i));
    if (persist && reg && reg->storage == Storage::eeprom) s.persisted[address + i] = bytes[i];
  }
}

int32_t ServoFirmware::value(const Servo& s, std::string_view name) const {
  const Register& reg = s.table->at(name);
  return decode_value(reg, load(s, reg.address, reg.size));
}

void ServoFirmware::put(Servo& s, std::string_view name, int32_t v) {
  const Register& reg = s.table->at(name);
  store(s, reg.address, le_bytes(encode_value(reg, v), reg.size), false);
}

// RAM back to its defaults, EEPROM as saved: what a power cycle or reboot leaves.
void ServoFirmware::power_cycle_ram(Servo& s) {
  const uint8_t id = id_of(s);
  for (const auto& reg : s.table->registers) {
    if (reg.storage == Storage::ram) put(s, reg.name, reg.factory_default);
  }
  for (size_t i = 0; i < s.memory.size(); ++i) {
    const Register* reg = s.table->covering(static_cast<uint16_t>(i));
    if (reg && reg->storage == Storage::eeprom) s.memory[i] = s.persisted[i];
  }
  if (family_ == ServoFamily::dynamixel) put(s, "ID", id);  // a Dynamixel id write is saved at once anyway
  s.registered.reset();
}

uint8_t ServoFirmware::id_of(const Servo& s) const { return static_cast<uint8_t>(value(s, "ID")); }
int ServoFirmware::baudrate_of(const Servo& s) const { return baudrate_for_code(family_, value(s, "Baud_Rate")).value_or(0); }
bool ServoFirmware::torque_on(const Servo& s) const { return value(s, "Torque_Enable") != 0; }
bool ServoFirmware::listens_at(const Servo& s, int line_baudrate) const { return baudrate_of(s) == line_baudrate; }

bool ServoFirmware::anyone_listens(int line_baudrate) const {
  return std::any_of(servos_.begin(), servos_.end(), [&](const Servo& s) { return s.plugged && listens_at(s, line_baudrate); });
}

void ServoFirmware::connect_only(std::optional<size_t> servo) {
  if (servo) servos_.at(*servo);
  for (size_t i = 0; i < servos_.size(); ++i) servos_[i].plugged = !servo || *servo == i;
}

void ServoFirmware::factory_reset(size_t servo) {
  update();
  Servo& s = servos_.at(servo);
  for (const auto& reg : s.table->registers) store(s, reg.address, le_bytes(encode_value(reg, reg.factory_default), reg.size), false);
  s.persisted = s.memory;
  s.registered.reset();
  s.error_byte = 0;
  eeprom_changed_ = true;
}

ServoFirmware::Servo* ServoFirmware::by_id(uint8_t id) {
  for (auto& s : servos_) {
    if (id_of(s) == id) return &s;
  }
  return nullptr;
}

// ---- the horn ----

double ServoFirmware::present_from_actual(const Servo& s, double actual) const {
  const long a = std::lround(actual);
  if (family_ == ServoFamily::feetech) return wrap_steps(a - value(s, "Homing_Offset"));
  const int direction = value(s, "Drive_Mode") & 1 ? -1 : 1;
  return static_cast<double>(direction * a + value(s, "Homing_Offset"));
}

// Where the motor drives the horn, or nothing while it is not holding a position.
std::optional<double> ServoFirmware::target_actual(const Servo& s) const {
  if (!torque_on(s)) return std::nullopt;
  long goal = value(s, "Goal_Position");
  const long lo = value(s, "Min_Position_Limit"), hi = value(s, "Max_Position_Limit");
  const int mode = value(s, "Operating_Mode");
  if (family_ == ServoFamily::feetech) {
    if (mode != 0) return std::nullopt;
    if (lo != 0 || hi != 0) goal = std::clamp(goal, std::min(lo, hi), std::max(lo, hi));  // both 0: no limits
    return wrap_steps(goal + value(s, "Homing_Offset"));
  }
  if (mode != 3 && mode != 4 && mode != 5) return std::nullopt;
  if (mode == 3) goal = std::clamp(goal, std::min(lo, hi), std::max(lo, hi));  // extended and current-based ignore them
  const int direction = value(s, "Drive_Mode") & 1 ? -1 : 1;
  return static_cast<double>(direction * (goal - value(s, "Homing_Offset")));
}

void ServoFirmware::update() {
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

std::vector<ServoFirmware::Eeprom> ServoFirmware::saved_eeprom() const {
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

void ServoFirmware::load_eeprom(const std::vector<Eeprom>& eeprom) {
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
  update();
}

void ServoFirmware::set_error_byte(uint8_t error) {
  for (auto& s : servos_) s.error_byte = error;
}

bool ServoFirmware::take_eeprom_changed() { return std::exchange(eeprom_changed_, false); }

int32_t ServoFirmware::get(size_t servo, std::string_view reg) {
  update();
  return value(servos_.at(servo), reg);
}

void ServoFirmware::set(size_t servo, std::string_view name, int32_t v, bool persist) {
  update();
  Servo& s = servos_.at(servo);
  const Register& reg = s.table->at(name);
  store(s, reg.address, le_bytes(encode_value(reg, v), reg.size), persist);
  update();
}

double ServoFirmware::actual(size_t servo) {
  update();
  return servos_.at(servo).actual;
}

double ServoFirmware::actual_for_present(size_t servo, double present) {
  const Servo& s = servos_.at(servo);
  if (family_ == ServoFamily::feetech) return wrap_steps(std::lround(present) + value(s, "Homing_Offset"));
  const int direction = value(s, "Drive_Mode") & 1 ? -1 : 1;
  return direction * (present - value(s, "Homing_Offset"));
}

void ServoFirmware::set_actual(size_t servo, double steps) {
  update();
  servos_.at(servo).actual = steps;
  update();
}

void ServoFirmware::set_hand(size_t servo, std::function<double(double)> hand) {
  update();
  servos_.at(servo).hand = std::move(hand);
  update();
}

void ServoFirmware::write_register(uint8_t id, uint16_t address, uint32_t v, int size) {
  update();
  Servo* s = by_id(id);
  if (!s) throw std::out_of_range("no simulated servo with id " + std::to_string(id));
  store(*s, address, le_bytes(v, static_cast<size_t>(size)), true);
}

uint32_t ServoFirmware::read_register(uint8_t id, uint16_t address, int size) {
  update();
  Servo* s = by_id(id);
  if (!s) throw std::out_of_range("no simulated servo with id " + std::to_string(id));
  return load(*s, address, static_cast<size_t>(size));
}

// ---- firmware rules ----

uint8_t ServoFirmware::refuse_read(const Servo& s, uint16_t address, size_t size) const {
  if (size == 0 || address + size > s.table->end) return dynamixel::ACCESS_ERROR;
  return 0;
}

uint8_t ServoFirmware::refuse_write(const Servo& s, uint16_t address, std::span<const uint8_t> data) const {
  const size_t size = data.size();
  if (size == 0 || address + size > s.table->end) return dynamixel::ACCESS_ERROR;
  const bool dxl = family_ == ServoFamily::dynamixel;
  for (size_t i = 0; i < size; ++i) {
    const Register* reg = s.table->covering(static_cast<uint16_t>(address + i));
    if (!reg) continue;
    if (reg->access == Access::read_only) return dynamixel::ACCESS_ERROR;
    // Dynamixel keeps its EEPROM shut while the motor holds torque.
    if (dxl && reg->storage == Storage::eeprom && torque_on(s)) return dynamixel::ACCESS_ERROR;
    // ... takes a register whole or not at all ...
    if (dxl && (reg->address < address || reg->address + reg->size > address + size)) return dynamixel::DATA_LENGTH_ERROR;
    // ... and only the operating modes it has.
    if (dxl && reg->name == "Operating_Mode" && i == static_cast<size_t>(reg->address - address)) {
      static constexpr uint8_t kModes[] = {0, 1, 3, 4, 5, 16};
      if (std::find(std::begin(kModes), std::end(kModes), data[i]) == std::end(kModes)) return dynamixel::DATA_RANGE_ERROR;
    }
  }
  return 0;
}

void ServoFirmware::apply_write(Servo& s, uint16_t address, std::span<const uint8_t> data) {
  const bool torque_was_on = torque_on(s);
  // Feetech saves EPROM writes only while Lock is 0; with Lock 1 they act
  // until the next power cycle. Dynamixel saves every accepted write.
  const bool persist = family_ == ServoFamily::dynamixel || value(s, "Lock") == 0;
  const auto saved_before = s.persisted;
  store(s, address, data, persist);
  // Torque coming on holds the horn where it is.
  if (!torque_was_on && torque_on(s)) put(s, "Goal_Position", value(s, "Present_Position"));
  if (s.persisted != saved_before) eeprom_changed_ = true;
}

bool ServoFirmware::status_allowed(const Servo& s, uint8_t instruction) const {
  if (instruction == PING) return true;
  if (family_ == ServoFamily::feetech) return value(s, "Response_Status_Level") != 0 || is_read(instruction);
  const int level = value(s, "Status_Return_Level");
  return level >= 2 || (level == 1 && is_read(instruction));
}

std::vector<ServoFirmware::Servo*> ServoFirmware::targets(uint8_t id, int line_baudrate) {
  std::vector<Servo*> out;
  for (auto& s : servos_) {
    if (s.plugged && (id == BROADCAST_ID || id_of(s) == id) && listens_at(s, line_baudrate)) out.push_back(&s);
  }
  return out;
}

// A status packet from `s`, sent after its return delay. The id is the one
// the request found: a servo whose id a write just changed answers under the old one.
void ServoFirmware::answer(const Request& r, const Servo& s, uint8_t error, const std::vector<uint8_t>& params) {
  answer_as(r, id_of(s), value(s, "Return_Delay_Time") * kDelayUnit, error | s.error_byte, params);
}

void ServoFirmware::answer_as(const Request& r, uint8_t id, std::chrono::microseconds delay, uint8_t error,
                              const std::vector<uint8_t>& params) {
  r.answers->push_back({family_ == ServoFamily::feetech ? feetech::status(id, error, params) : dynamixel::status(id, error, params),
                        delay});
}

void ServoFirmware::handle(const Request& r) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  const bool unicast = r.id != BROADCAST_ID;
  switch (r.instruction) {
    case PING:
      for (auto* s : targets(r.id, r.line_baudrate)) {
        std::vector<uint8_t> params;
        if (dxl) {
          params = le_bytes(s->table->model_number, 2);
          params.push_back(static_cast<uint8_t>(value(*s, "Firmware_Version")));
        }
        answer(r, *s, 0, params);
      }
      return;
    case READ: {
      if (!unicast) return;
      const auto& p = r.params;
      for (auto* s : targets(r.id, r.line_baudrate)) {
        if (p.size() != (dxl ? 4u : 2u)) {
          if (dxl && status_allowed(*s, READ)) answer(r, *s, dynamixel::DATA_LENGTH_ERROR, {});
          continue;
        }
        const uint16_t addr = dxl ? static_cast<uint16_t>(p[0] | p[1] << 8) : p[0];
        const uint16_t len = dxl ? static_cast<uint16_t>(p[2] | p[3] << 8) : p[1];
        if (!status_allowed(*s, READ)) continue;
        if (const uint8_t refused = refuse_read(*s, addr, len)) {
          if (dxl) answer(r, *s, refused, {});  // Feetech has no way to report it: it stays silent
        } else {
          answer(r, *s, 0, memory_bytes(*s, addr, len));
        }
      }
      return;
    }
    case WRITE:
      handle_write(r, false);
      return;
    case REG_WRITE:
      handle_write(r, true);
      return;
    case ACTION:
      for (auto* s : targets(r.id, r.line_baudrate)) {
        // An ACTION with nothing registered is an instruction error on Dynamixel.
        const uint8_t error = dxl && !s->registered ? dynamixel::INSTRUCTION_ERROR : 0;
        if (s->registered) apply_write(*s, s->registered->first, s->registered->second);
        s->registered.reset();
        if (dxl) put(*s, "Registered_Instruction", 0);
        if (unicast && status_allowed(*s, ACTION)) answer(r, *s, error, {});
      }
      return;
    case SYNC_READ:
      handle_sync_read(r);
      return;
    case SYNC_WRITE:
      handle_sync_write(r);
      return;
    default:
      if (dxl && r.instruction == kBulkRead) return handle_bulk_read(r);
      if (dxl && r.instruction == kReboot) return handle_reboot(r);
      if (unicast && dxl) {
        for (auto* s : targets(r.id, r.line_baudrate)) {
          if (status_allowed(*s, r.instruction)) answer(r, *s, dynamixel::INSTRUCTION_ERROR, {});
        }
      }
      return;
  }
}

void ServoFirmware::handle_write(const Request& r, bool registered) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  const size_t addr_width = dxl ? 2 : 1;
  const bool unicast = r.id != BROADCAST_ID;
  const auto& p = r.params;
  if (p.size() < addr_width + 1) {
    if (unicast && dxl) {
      for (auto* s : targets(r.id, r.line_baudrate)) {
        if (status_allowed(*s, r.instruction)) answer(r, *s, dynamixel::DATA_LENGTH_ERROR, {});
      }
    }
    return;
  }
  const uint16_t addr = dxl ? static_cast<uint16_t>(p[0] | p[1] << 8) : p[0];
  const auto data = p.subspan(addr_width);
  for (auto* s : targets(r.id, r.line_baudrate)) {
    // The answer goes out under the id, delay and status level the request found.
    const uint8_t id = id_of(*s);
    const auto delay = value(*s, "Return_Delay_Time") * kDelayUnit;
    const bool allowed = status_allowed(*s, r.instruction);
    const uint8_t fault = s->error_byte;
    const uint8_t refused = refuse_write(*s, addr, data);
    if (!refused) {
      if (registered) {
        s->registered = {addr, {data.begin(), data.end()}};
        if (dxl) put(*s, "Registered_Instruction", 1);
      } else {
        apply_write(*s, addr, data);
      }
    }
    // A refused Feetech write changes nothing and is answered as usual.
    if (unicast && allowed) answer_as(r, id, delay, (dxl ? refused : 0) | fault, {});
  }
}

void ServoFirmware::handle_sync_read(const Request& r) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  const size_t addr_width = dxl ? 2 : 1;
  const auto& p = r.params;
  if (r.id != BROADCAST_ID || p.size() < 2 * addr_width) return;
  const uint16_t addr = dxl ? static_cast<uint16_t>(p[0] | p[1] << 8) : p[0];
  const uint16_t len = dxl ? static_cast<uint16_t>(p[2] | p[3] << 8) : p[1];
  const auto all = targets(BROADCAST_ID, r.line_baudrate);
  for (size_t i = 2 * addr_width; i < p.size(); ++i) {
    for (auto* s : all) {
      if (id_of(*s) != p[i] || !status_allowed(*s, SYNC_READ)) continue;
      if (const uint8_t refused = refuse_read(*s, addr, len)) {
        if (dxl) answer(r, *s, refused, {});
      } else {
        answer(r, *s, 0, memory_bytes(*s, addr, len));
      }
    }
  }
}

// A real servo takes only whole entries: one cut short by the packet's end
// is no entry at all.
void ServoFirmware::handle_sync_write(const Request& r) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  const size_t addr_width = dxl ? 2 : 1;
  const auto& p = r.params;
  if (r.id != BROADCAST_ID || p.size() < 2 * addr_width) return;
  const uint16_t addr = dxl ? static_cast<uint16_t>(p[0] | p[1] << 8) : p[0];
  const size_t len = dxl ? static_cast<size_t>(p[2] | p[3] << 8) : p[1];
  if (len == 0) return;
  const auto all = targets(BROADCAST_ID, r.line_baudrate);
  for (size_t i = 2 * addr_width; i + 1 + len <= p.size(); i += 1 + len) {
    for (auto* s : all) {
      if (id_of(*s) != p[i] || refuse_write(*s, addr, p.subspan(i + 1, len))) continue;
      apply_write(*s, addr, p.subspan(i + 1, len));
    }
  }
}

// Dynamixel BULK_READ: entries of id, address (2) and length (2); each
// servo named answers with its own register range, in the order asked.
void ServoFirmware::handle_bulk_read(const Request& r) {
  const auto& p = r.params;
  if (r.id != BROADCAST_ID || p.empty() || p.size() % 5 != 0) return;
  for (size_t i = 0; i < p.size(); i += 5) {
    Servo* s = by_id(p[i]);
    if (!s || !listens_at(*s, r.line_baudrate) || !status_allowed(*s, kBulkRead)) continue;
    const uint16_t addr = static_cast<uint16_t>(p[i + 1] | p[i + 2] << 8);
    const uint16_t len = static_cast<uint16_t>(p[i + 3] | p[i + 4] << 8);
    if (const uint8_t refused = refuse_read(*s, addr, len)) {
      answer(r, *s, refused, {});
    } else {
      answer(r, *s, 0, memory_bytes(*s, addr, len));
    }
  }
}

// Dynamixel REBOOT: the status first, then the servo starts again as from
// power-on (RAM at its defaults, torque off, EEPROM kept).
void ServoFirmware::handle_reboot(const Request& r) {
  for (auto* s : targets(r.id, r.line_baudrate)) {
    if (!r.params.empty()) {
      if (r.id != BROADCAST_ID && status_allowed(*s, kReboot)) answer(r, *s, dynamixel::DATA_LENGTH_ERROR, {});
      continue;
    }
    if (r.id != BROADCAST_ID && status_allowed(*s, kReboot)) answer(r, *s, 0, {});
    power_cycle_ram(*s);
  }
  update();
}

std::vector<ServoFirmware::Answer> ServoFirmware::receive(std::span<const uint8_t> bytes, int line_baudrate) {
  std::vector<Answer> answers;
  // Bytes sent at a rate no servo listens at are noise to all of them.
  if (!anyone_listens(line_baudrate)) {
    pending_.clear();
    return answers;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  update();
  for (;;) {
    std::optional<Parsed> parsed;
    try {
      parsed = family_ == ServoFamily::feetech ? feetech::parse_instruction(pending_) : dynamixel::parse_instruction(pending_);
    } catch (const ProtocolError&) {
      const auto frame = family_ == ServoFamily::dynamixel ? dynamixel_frame(pending_) : std::nullopt;
      if (!frame) {
        pending_.erase(pending_.begin());  // resynchronise on the next header
        continue;
      }
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(frame->start + frame->total));
      Servo* s = frame->id == BROADCAST_ID ? nullptr : by_id(frame->id);
      if (s && listens_at(*s, line_baudrate) && value(*s, "Status_Return_Level") >= 2) {
        const Request r{frame->id, 0, {}, line_baudrate, &answers};
        answer(r, *s, dynamixel::CRC_ERROR, {});
      }
      continue;
    }
    if (!parsed) break;
    const std::vector<uint8_t> params = std::move(parsed->packet.params);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(parsed->consumed));
    handle({parsed->packet.id, parsed->packet.error, params, line_baudrate, &answers});
    update();
  }
  return answers;
}

}  // namespace armkit
