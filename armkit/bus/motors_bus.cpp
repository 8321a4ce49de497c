#include "armkit/bus/motors_bus.hpp"
#include "armkit/bus/tick_deadline.hpp"

#include <algorithm>

namespace armkit {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long each attempt of a request listens for its answer beyond the
// bytes' own wire time. USB adapters may hold bytes back for milliseconds
// and a busy machine may be slow to schedule whoever answers, so every
// retry waits longer than the one before.
constexpr std::chrono::milliseconds kListen[] = {25ms, 50ms, 100ms};
// A scan listens this long at the rates arms are usually set to, and
// briefly at the others.
constexpr auto kLikelyRateListen = 150ms;
constexpr auto kOtherRateListen = 15ms;
// A bus never learns to wait longer than this for an answer at first try.
constexpr auto kMaxLearnedListen = 250ms;

std::optional<Parsed> parse(ServoFamily family, std::span<const uint8_t> bytes) {
  return family == ServoFamily::feetech ? feetech::parse_status(bytes) : dynamixel::parse_status(bytes);
}

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

// A Dynamixel status that refuses the request (the low bits of its error
// byte); it is the servo's final word and carries no data.
bool refusal(ServoFamily family, const StatusPacket& s) {
  return family == ServoFamily::dynamixel && (s.error & 0x7F) != 0;
}

std::string joined(const std::vector<uint8_t>& ids) {
  std::string out;
  for (const uint8_t id : ids) out += (out.empty() ? "" : ", ") + std::to_string(id);
  return out.empty() ? "none" : out;
}

}  // namespace

std::string describe_servo_error(ServoFamily family, uint8_t error) {
  if (family == ServoFamily::dynamixel) {
    static const char* names[] = {"",           "result fail",       "instruction error", "CRC error",
                                  "data range error", "data length error", "data limit error",  "access error"};
    std::string text = (error & 0x7F) < 8 ? names[error & 0x7F] : "error " + std::to_string(error & 0x7F);
    if (error & dynamixel::HARDWARE_ALERT) text += text.empty() ? "hardware alert" : " (hardware alert)";
    return text;
  }
  static const std::pair<uint8_t, const char*> bits[] = {
      {1, "input voltage"}, {2, "angle sensor"}, {4, "overheating"}, {8, "over-current"}, {32, "overload"}};
  std::string text;
  for (const auto& [bit, name] : bits) {
    if (error & bit) text += (text.empty() ? "" : ", ") + std::string(name);
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

const std::vector<int>& scan_baudrates(ServoFamily family) {
  static const std::vector<int> feetech = {4800,  9600,   14400,  19200,  38400,  57600,
                                           76800, 115200, 128000, 250000, 500000, 1000000};
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

const Motor& MotorsBus::motor(const std::string& name) const {
  const auto it = motors.find(name);
  if (it == motors.end()) throw BusError("no motor '" + name + "' on the bus on " + port);
  return it->second;
}

// The register all these motors have at one address (a sync access needs that).
const Register& MotorsBus::register_of(std::string_view reg, const std::vector<std::string>& names) const {
  if (names.empty()) throw BusError("no motors named for " + std::string(reg));
  const Register& first = control_table(motor(names.front()).model).at(reg);
  for (const auto& n : names) {
    const Register& r = control_table(motor(n).model).at(reg);
    if (r.address != first.address || r.size != first.size) {
      throw BusError(std::string(reg) + " is not at one address for every motor on " + port);
    }
  }
  return first;
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
  std::vector<std::pair<std::string, Motor>> by_id(motors.begin(), motors.end());
  std::sort(by_id.begin(), by_id.end(), [](const auto& a, const auto& b) { return a.second.id < b.second.id; });
  std::vector<std::string> problems;
  std::vector<uint8_t> answered;
  try {
    for (const auto& [name, m] : by_id) {
      const auto model = ping(m.id);
      if (!model) {
        problems.push_back("motor '" + name + "' (id " + std::to_string(m.id) + ") did not answer on " + port);
        continue;
      }
      answered.push_back(m.id);
      const ControlTable& expected = control_table(m.model);
      if (*model != expected.model_number) {
        const ControlTable* found = control_table_for_number(family, *model);
        problems.push_back("motor '" + name + "' (id " + std::to_string(m.id) + ") on " + port + " is " +
                           (found ? "a " + std::string(found->model) + " " : "") + "(model " + std::to_string(*model) +
                           "), expected a " + std::string(expected.model) + " (model " +
                           std::to_string(expected.model_number) + ")");
      }
    }
  } catch (...) {
    port_handler.closePort();
    throw;
  }
  if (!problems.empty()) {
    port_handler.closePort();
    std::string text;
    for (const auto& p : problems) text += (text.empty() ? "" : "; ") + p;
    throw BusError(text + " (motors that answered: " + joined(answered) + ")");
  }
  if (family == ServoFamily::feetech) {
    try {
      assert_same_firmware();
    } catch (...) {
      port_handler.closePort();
      throw;
    }
  }
}

// An arm whose Feetech servos run different firmware is refused, as the
// framework refuses it: they may not behave alike.
void MotorsBus::assert_same_firmware() {
  std::map<std::string, std::vector<std::string>> by_version;
  for (const auto& [name, m] : motors) {
    by_version[std::to_string(read("Firmware_Major_Version", name)) + "." + std::to_string(read("Firmware_Minor_Version", name))]
        .push_back(name + " (id " + std::to_string(m.id) + ")");
  }
  if (by_version.size() <= 1) return;
  std::string text;
  for (const auto& [version, names] : by_version) {
    text += (text.empty() ? "" : "; ") + std::string("firmware ") + version + ":";
    for (const auto& n : names) text += " " + n;
  }
  throw BusError("the motors on " + port + " run different firmware versions (" + text +
                 "): update them to one version before using the arm");
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

// Sends `request` and collects `answers` status packets that `accept`
// takes as answers to it. Whatever else arrives (a late answer to an
// earlier request, noise) is set aside; on silence, garbage or too few
// answers the whole exchange is tried again, each time listening longer.
std::vector<StatusPacket> MotorsBus::exchange(const std::vector<uint8_t>& request, size_t answers,
                                              const std::string& what, const Accept& accept) {
  SerialPort& sp = open_port();
  std::string last_problem = "no answer";
  if (stragglers_.count() > 0) {
    // Each straggler restarts the quiet wait: a servo that answers late may
    // answer the attempts one after another, each as late as the first.
    // A straggler that does come shows the servo is late rather than gone:
    // later attempts listen that much longer (a tick cut short the retries
    // that would have learnt it).
    try {
      for (int left = straggler_attempts_; left > 0; --left) {
        std::vector<uint8_t> late;
        sp.read_until_quiet(late, Clock::now() + stragglers_, stragglers_);
        if (late.empty()) break;  // quiet for a whole gap: nothing more is coming
        if (left == straggler_attempts_) {
          const auto lateness = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_write_);
          learned_listen_ = std::min(std::max(learned_listen_, lateness + lateness / 2 + 10ms), kMaxLearnedListen);
        }
      }
    } catch (const SerialError& e) {
      throw BusError(e.what());
    }
    stragglers_ = 0ms;
    straggler_attempts_ = 0;
  }
  const auto first_write = Clock::now();
  int attempts = 0;
  bool out_of_tick = false;
  const auto tick_end = TickDeadline::current();
  for (const auto listen : kListen) {
    if (attempts > 0 && tick_end && Clock::now() + std::max(listen, learned_listen_) > *tick_end) {
      out_of_tick = true;  // no retry stacks into the next tick, which tries again
      break;
    }
    if (attempts > 0) ++retries_;
    ++attempts;
    try {
      sp.discard_input();
      sp.write(request);
      last_write_ = Clock::now();
    } catch (const SerialError& e) {
      throw BusError(e.what());
    }
    const auto bt = byte_time(sp.baudrate());
    const auto deadline =
        Clock::now() + std::max(listen, learned_listen_) + bt * static_cast<long>(request.size() + 64 * answers);
    std::vector<StatusPacket> got;
    bool corrupt = false, stray = false;
    size_t parsed_to = 0;
    std::vector<uint8_t> bytes;
    try {
      sp.read_until(bytes, deadline, [&](const std::vector<uint8_t>& b) {
        while (got.size() < answers && parsed_to < b.size()) {
          try {
            const auto p = parse(family, std::span<const uint8_t>(b).subspan(parsed_to));
            if (!p) break;
            parsed_to += p->consumed;
            if (!accept(p->packet)) {
              stray = true;
              continue;
            }
            // Two answers with one servo's id in one attempt: one of them is
            // another servo's (a reply that carried the wrong id), and which
            // cannot be told. The attempt is lost; waiting out its listen
            // would only cost more ticks.
            if (std::any_of(got.begin(), got.end(), [&](const StatusPacket& g) { return g.id == p->packet.id; })) {
              corrupt = true;
              last_problem = "two answers carry the id of motor " + std::to_string(p->packet.id) + " (one is another servo's)";
              return true;
            }
            got.push_back(p->packet);
          } catch (const ProtocolError& e) {
            corrupt = true;
            last_problem = e.what();
            return true;  // stop reading: this attempt is lost
          }
        }
        return got.size() >= answers;
      });
    } catch (const SerialError& e) {
      throw BusError(e.what());
    }
    if (!corrupt && got.size() >= answers) {
      if (attempts > 1) {
        // How late the servo is, at most: from the first attempt to the answer.
        const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first_write);
        stragglers_ = late + late / 2 + 10ms;
        straggler_attempts_ = attempts;
        learned_listen_ = std::min(std::max(learned_listen_, stragglers_), kMaxLearnedListen);
      }
      return got;
    }
    if (!corrupt) {
      last_problem = !got.empty() ? "incomplete answer" : stray ? "a reply that does not fit the request" : "no answer";
    }
  }
  // A servo that is only late may still answer every attempt.
  stragglers_ = kListen[static_cast<size_t>(attempts) - 1];
  straggler_attempts_ = attempts;
  if (out_of_tick) {
    throw BusError(what + " on " + port + " failed within the tick's time (" + std::to_string(attempts) +
                   (attempts == 1 ? " attempt" : " attempts") + "): " + last_problem);
  }
  throw BusError(what + " on " + port + " failed after " + std::to_string(std::size(kListen)) +
                 " attempts: " + last_problem);
}

void MotorsBus::check_status(const StatusPacket& s, const std::string& what) const {
  if (refusal(family, s)) {
    throw BusError("motor " + std::to_string(s.id) + " on " + port + " refused " + what + ": " +
                   describe_servo_error(family, s.error));
  }
}

std::tuple<uint32_t, int, int> MotorsBus::_read(uint16_t address, int size, uint8_t motor_id) {
  const std::string what = "reading " + std::to_string(size) + " bytes at " + std::to_string(address) + " of motor " +
                           std::to_string(motor_id);
  const auto answers = exchange(packet(motor_id, READ, register_params(family, address, size)), 1, what,
                                [&](const StatusPacket& s) {
                                  return s.id == motor_id &&
                                         (s.params.size() == static_cast<size_t>(size) || refusal(family, s));
                                });
  const StatusPacket& s = answers.front();
  check_status(s, what);
  return {from_le(s.params), 0, s.error};
}

void MotorsBus::write(uint16_t address, int size, uint8_t motor_id, uint32_t value) {
  std::vector<uint8_t> params = register_params(family, address, std::nullopt);
  const auto data = le(value, size);
  params.insert(params.end(), data.begin(), data.end());
  const std::string what = "writing " + std::to_string(size) + " bytes at " + std::to_string(address) + " of motor " +
                           std::to_string(motor_id);
  const auto answers = exchange(packet(motor_id, WRITE, params), 1, what,
                                [&](const StatusPacket& s) { return s.id == motor_id && s.params.empty(); });
  check_status(answers.front(), what);
  if (answers.front().error != 0) {
    throw BusError("motor " + std::to_string(motor_id) + " on " + port + " reported " +
                   describe_servo_error(family, answers.front().error) + " for a write");
  }
}

std::map<uint8_t, uint32_t> MotorsBus::sync_read(uint16_t address, int size, const std::vector<uint8_t>& ids) {
  std::vector<uint8_t> params = register_params(family, address, size);
  params.insert(params.end(), ids.begin(), ids.end());
  const auto answers = exchange(packet(BROADCAST_ID, SYNC_READ, params), ids.size(), "sync read",
                                [&](const StatusPacket& s) {
                                  const bool fits = s.params.size() == static_cast<size_t>(size) || refusal(family, s);
                                  return fits && std::find(ids.begin(), ids.end(), s.id) != ids.end();
                                });
  std::map<uint8_t, uint32_t> out;
  for (const auto& s : answers) {
    check_status(s, "a sync read");
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

// Reads and writes by name fail on any error the servo reports (overload,
// overheating, a voltage or sensor fault), as the framework's do, naming
// the joint.
int32_t MotorsBus::read(std::string_view reg, const std::string& name) {
  const Motor& m = motor(name);
  const Register& r = control_table(m.model).at(reg);
  const auto [value, result, error] = _read(r.address, r.size, m.id);
  if (error != 0) {
    throw BusError("motor '" + name + "' (id " + std::to_string(m.id) + ") on " + port + " reported " +
                   describe_servo_error(family, static_cast<uint8_t>(error)) + " while reading " + std::string(reg));
  }
  return decode_value(r, value);
}

void MotorsBus::write(std::string_view reg, const std::string& name, int32_t value) {
  const Motor& m = motor(name);
  const Register& r = control_table(m.model).at(reg);
  try {
    write(r.address, r.size, m.id, encode_value(r, value));
  } catch (const BusError& e) {
    throw BusError("writing " + std::string(reg) + " of motor '" + name + "': " + e.what());
  }
}

std::map<std::string, int32_t> MotorsBus::sync_read(std::string_view reg, const std::vector<std::string>& names) {
  const Register& r = register_of(reg, names);
  std::vector<uint8_t> ids;
  for (const auto& n : names) ids.push_back(motor(n).id);
  const auto raw = sync_read(r.address, r.size, ids);
  std::map<std::string, int32_t> out;
  for (const auto& n : names) out[n] = decode_value(r, raw.at(motor(n).id));
  return out;
}

void MotorsBus::sync_write(std::string_view reg, const std::map<std::string, int32_t>& values) {
  std::vector<std::string> names;
  for (const auto& [n, v] : values) names.push_back(n);
  const Register& r = register_of(reg, names);
  std::map<uint8_t, uint32_t> raw;
  for (const auto& [n, v] : values) raw[motor(n).id] = encode_value(r, v);
  sync_write(r.address, r.size, raw);
}

std::optional<uint16_t> MotorsBus::ping(uint8_t id) {
  std::vector<StatusPacket> answers;
  try {
    answers = exchange(packet(id, PING, {}), 1, "pinging motor " + std::to_string(id),
                       [&](const StatusPacket& s) { return s.id == id; });
  } catch (const BusError&) {
    return std::nullopt;
  }
  if (family == ServoFamily::dynamixel) {
    const auto& p = answers.front().params;
    if (p.size() < 2) throw BusError("motor " + std::to_string(id) + " on " + port + " sent a short ping reply");
    return static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  // A Feetech ping carries no model: every model of the family keeps it at one place.
  const Register& r = control_table("sts3215").at("Model_Number");
  return static_cast<uint16_t>(std::get<0>(_read(r.address, r.size, id)));
}

std::vector<uint8_t> MotorsBus::broadcast_ping(std::chrono::milliseconds listen, size_t enough) {
  SerialPort& sp = open_port();
  const auto request = packet(BROADCAST_ID, PING, {});
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> ids;
  const auto heard = [&](const std::vector<uint8_t>& b) {
    ids.clear();
    for (const auto& s : all_packets(family, b)) {
      if (std::find(ids.begin(), ids.end(), s.id) == ids.end()) ids.push_back(s.id);
    }
    return ids.size() >= enough;
  };
  try {
    sp.discard_input();
    sp.write(request);
    // No pause ends the listen: servos answer in turn, and a late scheduler
    // or a USB adapter's latency timer can put gaps between them far longer
    // than a pause inside one answer.
    sp.read_until(bytes, Clock::now() + listen + byte_time(sp.baudrate()) * static_cast<long>(request.size()), heard);
  } catch (const SerialError& e) {
    throw BusError(e.what());
  }
  heard(bytes);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::map<int, std::vector<int>> MotorsBus::scan(ServoFamily family, const std::string& port) {
  MotorsBus bus(family, port, {}, scan_baudrates(family).back());
  bus._connect(false);
  // The rates arms usually run at come first and get a long listen, so a
  // busy machine does not make us miss an arm there; then the others.
  const std::vector<int> likely = family == ServoFamily::feetech ? std::vector<int>{1'000'000}
                                                                 : std::vector<int>{1'000'000, 57'600};
  std::vector<int> order = likely;
  for (const int rate : scan_baudrates(family)) {
    if (std::find(likely.begin(), likely.end(), rate) == likely.end()) order.push_back(rate);
  }
  std::map<int, std::vector<int>> found;
  for (const int rate : order) {
    const bool is_likely = std::find(likely.begin(), likely.end(), rate) != likely.end();
    bus.set_baudrate(rate);
    auto ids = bus.broadcast_ping(is_likely ? kLikelyRateListen : kOtherRateListen);
    if (ids.empty()) continue;
    // A second ping confirms the rate (and adds a servo the first missed
    // that answers in its turn); it ends once as many have answered.
    for (const uint8_t id : bus.broadcast_ping(kLikelyRateListen, ids.size())) {
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    found[rate] = std::vector<int>(ids.begin(), ids.end());
  }
  bus.port_handler.closePort();
  return found;
}

}  // namespace armkit
