#include "armkit/bus/motors_bus.hpp"

#include <algorithm>

#include "armkit/protocol/packets.hpp"

namespace armkit {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kAttempts = 3;
// USB adapters may hold bytes back this long even in low-latency mode, and
// servos wait their return delay before answering.
constexpr auto kTurnaround = 25ms;

std::optional<Parsed> parse(ServoFamily family, std::span<const uint8_t> bytes) {
  return family == ServoFamily::feetech ? feetech::parse_status(bytes) : dynamixel::parse_status(bytes);
}

// Servos that answer one request in turn leave short gaps between answers.
std::chrono::microseconds quiet_after(int baud) { return std::max<std::chrono::microseconds>(30 * byte_time(baud), 5ms); }

std::vector<uint8_t> le(uint32_t v, int size) {
  std::vector<uint8_t> out;
  for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

// Address (and length) of a register access: one byte each on Feetech
// buses, two little-endian bytes each on Dynamixel 2.0.
std::vector<uint8_t> register_params(ServoFamily family, uint16_t address, std::optional<int> size) {
  std::vector<uint8_t> out;
  const int width = family == ServoFamily::feetech ? 1 : 2;
  for (const int value : {static_cast<int>(address), size.value_or(-1)}) {
    if (value < 0) break;
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  return out;
}

uint32_t from_le(const std::vector<uint8_t>& bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes.size() && i < 4; ++i) v |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return v;
}

// Every complete status packet in `bytes`; corrupt ones are skipped.
std::vector<StatusPacket> all_packets(ServoFamily family, const std::vector<uint8_t>& bytes) {
  std::vector<StatusPacket> out;
  std::span<const uint8_t> rest(bytes);
  while (!rest.empty()) {
    try {
      const auto p = parse(family, rest);
      if (!p) break;
      out.push_back(p->packet);
      rest = rest.subspan(p->consumed);
    } catch (const ProtocolError&) {
      rest = rest.subspan(1);
    }
  }
  return out;
}

}  // namespace

const std::vector<int>& scan_baudrates(ServoFamily family) {
  static const std::vector<int> feetech = {4800, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 250000, 500000, 1000000};
  static const std::vector<int> dynamixel = {9600,   19200,  38400,   57600,   115200,  230400,  460800,  500000, 576000,
                                             921600, 1000000, 1152000, 2000000, 2500000, 3000000, 3500000, 4000000};
  return family == ServoFamily::feetech ? feetech : dynamixel;
}

void PortHandler::closePort() { port.reset(); }

MotorsBus::MotorsBus(ServoFamily family_, std::string port_, std::map<std::string, Motor> motors_, int default_baudrate)
    : family(family_), port(std::move(port_)), motors(std::move(motors_)), default_baudrate_(default_baudrate) {}

SerialPort& MotorsBus::open_port() {
  if (!port_handler.port) throw BusError("the bus on " + port + " is not connected");
  return *port_handler.port;
}

void MotorsBus::_connect(bool handshake) {
  try {
    port_handler.port = std::make_unique<SerialPort>(port);
    port_handler.port->set_baudrate(default_baudrate_);
  } catch (const SerialError& e) {
    port_handler.closePort();
    throw BusError(e.what());
  }
  if (!handshake) return;
  const auto found = broadcast_ping();
  for (const auto& [name, motor] : motors) {
    if (std::find(found.begin(), found.end(), motor.id) == found.end()) {
      port_handler.closePort();
      throw BusError("motor '" + name + "' (id " + std::to_string(motor.id) + ") did not answer on " + port);
    }
  }
}

void MotorsBus::set_baudrate(int baudrate) {
  try {
    open_port().set_baudrate(baudrate);
  } catch (const SerialError& e) {
    throw BusError(e.what());
  }
}

std::vector<uint8_t> MotorsBus::packet(uint8_t id, uint8_t instruction, const std::vector<uint8_t>& params) const {
  return family == ServoFamily::feetech ? feetech::instruction(id, instruction, params)
                                        : dynamixel::instruction(id, instruction, params);
}

// Sends `request` and collects `answers` status packets, retrying the whole
// exchange a few times on silence or garbage.
std::vector<StatusPacket> MotorsBus::exchange(const std::vector<uint8_t>& request, size_t answers,
                                              const std::string& what) {
  SerialPort& sp = open_port();
  std::string last_problem = "no answer";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    sp.discard_input();
    sp.write(request);
    const auto bt = byte_time(sp.baudrate());
    const auto deadline = Clock::now() + kTurnaround + bt * static_cast<long>(request.size() + 64 * answers);
    std::vector<uint8_t> bytes;
    std::vector<StatusPacket> got;
    bool corrupt = false;
    sp.read_until(bytes, deadline, [&](const std::vector<uint8_t>& b) {
      got.clear();
      std::span<const uint8_t> rest(b);
      while (got.size() < answers) {
        try {
          const auto p = parse(family, rest);
          if (!p) break;
          got.push_back(p->packet);
          rest = rest.subspan(p->consumed);
        } catch (const ProtocolError& e) {
          corrupt = true;
          last_problem = e.what();
          return true;  // stop reading: this attempt is lost
        }
      }
      return got.size() >= answers;
    });
    if (!corrupt && got.size() >= answers) return got;
    if (!corrupt) last_problem = got.empty() ? "no answer" : "incomplete answer";
  }
  throw BusError(what + " on " + port + " failed after " + std::to_string(kAttempts) + " attempts: " + last_problem);
}

std::tuple<uint32_t, int, int> MotorsBus::_read(uint16_t address, int size, uint8_t motor_id) {
  const std::vector<uint8_t> params = register_params(family, address, size);
  const auto answers = exchange(packet(motor_id, READ, params), 1,
                                "reading " + std::to_string(size) + " bytes at " + std::to_string(address) + " of motor " +
                                    std::to_string(motor_id));
  const StatusPacket& s = answers.front();
  if (s.id != motor_id || s.params.size() != static_cast<size_t>(size)) {
    throw BusError("motor " + std::to_string(motor_id) + " on " + port + " sent a reply that does not fit the read");
  }
  return {from_le(s.params), 0, s.error};
}

void MotorsBus::write(uint16_t address, int size, uint8_t motor_id, uint32_t value) {
  std::vector<uint8_t> params = register_params(family, address, std::nullopt);
  const auto data = le(value, size);
  params.insert(params.end(), data.begin(), data.end());
  const auto answers = exchange(packet(motor_id, WRITE, params), 1, "writing motor " + std::to_string(motor_id));
  if (answers.front().error != 0) {
    throw BusError("motor " + std::to_string(motor_id) + " on " + port + " reported error " +
                   std::to_string(answers.front().error) + " for a write");
  }
}

std::map<uint8_t, uint32_t> MotorsBus::sync_read(uint16_t address, int size, const std::vector<uint8_t>& ids) {
  std::vector<uint8_t> params = register_params(family, address, size);
  params.insert(params.end(), ids.begin(), ids.end());
  const auto answers = exchange(packet(BROADCAST_ID, SYNC_READ, params), ids.size(), "sync read");
  std::map<uint8_t, uint32_t> out;
  for (const auto& s : answers) {
    if (s.params.size() != static_cast<size_t>(size)) {
      throw BusError("motor " + std::to_string(s.id) + " on " + port + " sent a reply that does not fit the read");
    }
    out[s.id] = from_le(s.params);
  }
  for (const uint8_t id : ids) {
    if (!out.count(id)) throw BusError("motor " + std::to_string(id) + " on " + port + " did not answer the sync read");
  }
  return out;
}

void MotorsBus::sync_write(uint16_t address, int size, const std::map<uint8_t, uint32_t>& values) {
  std::vector<uint8_t> params = register_params(family, address, size);
  for (const auto& [id, value] : values) {
    params.push_back(id);
    const auto data = le(value, size);
    params.insert(params.end(), data.begin(), data.end());
  }
  try {
    open_port().write(packet(BROADCAST_ID, SYNC_WRITE, params));  // no answer comes
  } catch (const SerialError& e) {
    throw BusError(e.what());
  }
}

std::vector<uint8_t> MotorsBus::broadcast_ping() {
  SerialPort& sp = open_port();
  const auto request = packet(BROADCAST_ID, PING, {});
  sp.discard_input();
  sp.write(request);
  std::vector<uint8_t> bytes;
  const auto bt = byte_time(sp.baudrate());
  sp.read_until_quiet(bytes, Clock::now() + kTurnaround + bt * static_cast<long>(request.size()), quiet_after(sp.baudrate()));
  std::vector<uint8_t> ids;
  for (const auto& s : all_packets(family, bytes)) {
    if (std::find(ids.begin(), ids.end(), s.id) == ids.end()) ids.push_back(s.id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::map<int, std::vector<int>> MotorsBus::scan(ServoFamily family, const std::string& port) {
  MotorsBus bus(family, port, {}, scan_baudrates(family).back());
  bus._connect(false);
  std::map<int, std::vector<int>> found;
  for (const int rate : scan_baudrates(family)) {
    bus.set_baudrate(rate);
    const auto ids = bus.broadcast_ping();
    if (!ids.empty()) found[rate] = std::vector<int>(ids.begin(), ids.end());
  }
  bus.port_handler.closePort();
  return found;
}

}  // namespace armkit
