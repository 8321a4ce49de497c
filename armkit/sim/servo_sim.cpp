#include "armkit/sim/servo_sim.hpp"

#include <poll.h>
#include <unistd.h>

#include "armkit/protocol/packets.hpp"
#include "armkit/serial/baud.hpp"

namespace armkit {
namespace {

constexpr size_t kTableSize = 256;

uint16_t model_address(ServoFamily f) { return f == ServoFamily::feetech ? 3 : 0; }

}  // namespace

SimulatedBus::SimulatedBus(ServoFamily family, int baudrate, std::vector<SimulatedServo> servos)
    : family_(family), baudrate_(baudrate) {
  for (const auto& s : servos) {
    registers_[s.id] = std::vector<uint8_t>(kTableSize, 0);
    registers_[s.id][model_address(family)] = static_cast<uint8_t>(s.model & 0xFF);
    registers_[s.id][model_address(family) + 1] = static_cast<uint8_t>(s.model >> 8);
  }
  thread_ = std::thread([this] { serve(); });
}

SimulatedBus::~SimulatedBus() {
  stop_ = true;
  thread_.join();
}

void SimulatedBus::write_register(uint8_t id, uint16_t address, uint32_t value, int size) {
  std::lock_guard lock(mutex_);
  auto& table = registers_.at(id);
  for (int i = 0; i < size && address + i < kTableSize; ++i) table[address + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t SimulatedBus::read_register(uint8_t id, uint16_t address, int size) {
  std::lock_guard lock(mutex_);
  const auto& table = registers_.at(id);
  uint32_t v = 0;
  for (int i = 0; i < size && address + i < kTableSize; ++i) v |= static_cast<uint32_t>(table[address + i]) << (8 * i);
  return v;
}

std::vector<uint8_t> SimulatedBus::read_bytes(uint8_t id, uint16_t address, size_t size) {
  std::lock_guard lock(mutex_);
  const auto& table = registers_.at(id);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < size; ++i) out.push_back(address + i < kTableSize ? table[address + i] : 0);
  return out;
}

void SimulatedBus::answer(uint8_t id, const std::vector<uint8_t>& params) {
  if (drop_ > 0) {
    --drop_;
    return;
  }
  std::vector<uint8_t> packet = family_ == ServoFamily::feetech ? feetech::status(id, error_byte_, params)
                                                                : dynamixel::status(id, error_byte_, params);
  if (corrupt_ > 0) {
    --corrupt_;
    packet[packet.size() - 2] ^= 0x5A;
  }
  [[maybe_unused]] auto n = ::write(pty_.master_fd(), packet.data(), packet.size());
}

void SimulatedBus::handle(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& p) {
  const bool dxl = family_ == ServoFamily::dynamixel;
  std::vector<uint8_t> ids;
  if (id == BROADCAST_ID) {
    for (const auto& [sid, table] : registers_) ids.push_back(sid);
  } else if (registers_.count(id)) {
    ids.push_back(id);
  }
  auto addr_len = [&](size_t at, uint16_t& addr, uint16_t& len) {
    if (dxl) {
      if (p.size() < at + 4) return false;
      addr = static_cast<uint16_t>(p[at] | p[at + 1] << 8);
      len = static_cast<uint16_t>(p[at + 2] | p[at + 3] << 8);
    } else {
      if (p.size() < at + 2) return false;
      addr = p[at];
      len = p[at + 1];
    }
    return true;
  };
  uint16_t addr = 0, len = 0;
  switch (instruction) {
    case PING:
      for (const uint8_t sid : ids) {
        if (!dxl) {
          answer(sid, {});
        } else {
          std::vector<uint8_t> model = read_bytes(sid, 0, 2);
          model.push_back(52);  // firmware version
          answer(sid, model);
        }
      }
      return;
    case READ:
      if (id != BROADCAST_ID && !ids.empty() && addr_len(0, addr, len)) answer(id, read_bytes(id, addr, len));
      return;
    case WRITE: {
      if (id == BROADCAST_ID || ids.empty() || p.size() < (dxl ? 2u : 1u)) return;
      addr = dxl ? static_cast<uint16_t>(p[0] | p[1] << 8) : p[0];
      const size_t data_at = dxl ? 2 : 1;
      for (size_t i = data_at; i < p.size(); ++i) write_register(id, static_cast<uint16_t>(addr + i - data_at), p[i], 1);
      answer(id, {});
      return;
    }
    case SYNC_READ: {
      if (!addr_len(0, addr, len)) return;
      for (size_t i = dxl ? 4 : 2; i < p.size(); ++i) {
        if (registers_.count(p[i])) answer(p[i], read_bytes(p[i], addr, len));
      }
      return;
    }
    case SYNC_WRITE: {
      if (!addr_len(0, addr, len) || len == 0) return;
      for (size_t i = dxl ? 4 : 2; i + len < p.size() + 1; i += 1 + len) {
        if (!registers_.count(p[i])) continue;
        for (size_t k = 0; k < len; ++k) write_register(p[i], static_cast<uint16_t>(addr + k), p[i + 1 + k], 1);
      }
      return;
    }
    default:
      return;
  }
}

void SimulatedBus::serve() {
  std::vector<uint8_t> buffer;
  while (!stop_) {
    pollfd p{pty_.master_fd(), POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    uint8_t chunk[512];
    const ssize_t n = ::read(pty_.master_fd(), chunk, sizeof chunk);
    if (n <= 0) continue;
    // Bytes sent at another rate are noise to a servo: it never answers them.
    if (baud::get(pty_.master_fd()) != baudrate_) {
      buffer.clear();
      continue;
    }
    buffer.insert(buffer.end(), chunk, chunk + n);
    for (;;) {
      std::optional<Parsed> parsed;
      try {
        parsed = family_ == ServoFamily::feetech ? feetech::parse_instruction(buffer)
                                                 : dynamixel::parse_instruction(buffer);
      } catch (const ProtocolError&) {
        buffer.erase(buffer.begin());  // resynchronise on the next header
        continue;
      }
      if (!parsed) break;
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(parsed->consumed));
      handle(parsed->packet.id, parsed->packet.error, parsed->packet.params);
    }
  }
}

}  // namespace armkit
