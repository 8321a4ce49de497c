#include "armkit/robots/arm_setup.hpp"

#include "armkit/robots/normalization.hpp"

#include <cstdlib>
#include <stdexcept>

namespace armkit {
namespace {

constexpr int kTorqueAttempts = 3;

bool is_feetech(const MotorsBus& bus) { return bus.family == ServoFamily::feetech; }

std::vector<std::string> all_motors(const MotorsBus& bus) {
  std::vector<std::string> out;
  for (const auto& [name, motor] : bus.motors) out.push_back(name);
  return out;
}

// The framework's configure() with torque off: per family and role.
void configure_feetech(MotorsBus& bus, bool follower) {
  const auto motors = all_motors(bus);
  for (const auto& m : motors) {
    bus.write("Return_Delay_Time", m, 0);
    bus.write("Maximum_Acceleration", m, 254);
    bus.write("Acceleration", m, 254);
    const int32_t phase = bus.read("Phase", m);
    if (phase & 0x10) bus.write("Phase", m, phase & ~0x10);
    bus.write("Operating_Mode", m, 0);
    if (!follower) continue;
    bus.write("P_Coefficient", m, 16);
    bus.write("I_Coefficient", m, 0);
    bus.write("D_Coefficient", m, 32);
    if (m == "gripper") {
      bus.write("Max_Torque_Limit", m, 500);
      bus.write("Protection_Current", m, 250);
      bus.write("Overload_Torque", m, 25);
    }
  }
}

void configure_dynamixel(MotorsBus& bus, bool follower) {
  for (const auto& m : all_motors(bus)) {
    bus.write("Return_Delay_Time", m, 0);
    bus.write("Operating_Mode", m, m == "gripper" ? 5 : 4);  // current-based position for the gripper
    if (follower && m == "elbow_flex") {
      bus.write("Position_P_Gain", m, 1500);
      bus.write("Position_I_Gain", m, 0);
      bus.write("Position_D_Gain", m, 600);
    }
  }
}

}  // namespace

void set_torque(MotorsBus& bus, const std::vector<std::string>& motors, bool on) {
  if (motors.empty()) return;
  std::map<std::string, int32_t> values;
  for (const auto& m : motors) values[m] = on ? 1 : 0;
  std::exception_ptr last;
  for (int attempt = 0; attempt < kTorqueAttempts; ++attempt) {
    try {
      bus.sync_write("Torque_Enable", values);
      if (is_feetech(bus)) bus.sync_write("Lock", values);  // EPROM locked while torque is on
      // A sync write gets no answer of its own: read every motor back.
      if (bus.sync_read("Torque_Enable", motors) == values) return;
    } catch (const std::exception&) {
      last = std::current_exception();
    }
  }
  if (last) std::rethrow_exception(last);
  throw BusError("torque did not turn " + std::string(on ? "on" : "off") + " on " + bus.port);
}

void configure_arm(MotorsBus& bus, const std::string& type, const Calibration* held, double gripper_open_pos) {
  const bool follower = type.ends_with("_follower");
  const auto motors = all_motors(bus);
  set_torque(bus, motors, false);
  if (is_feetech(bus)) configure_feetech(bus, follower);
  else configure_dynamixel(bus, follower);
  if (follower) {
    set_torque(bus, motors, true);
  } else if (type == "koch_leader" && bus.motors.count("gripper")) {
    // Torque first: coming on, a servo holds where the hand left it, so a
    // goal written before would be overwritten and the trigger not spring back.
    set_torque(bus, {"gripper"}, true);
    if (const MotorCalibration* c = held ? find_motor(*held, "gripper") : nullptr) {
      bus.write("Goal_Position", "gripper",
                unnormalize(NormMode::range_0_100, *c, gripper_open_pos, applies_drive_mode(bus.family)));
    }
  }
}

void write_calibration(MotorsBus& bus, const Calibration& calibration) {
  std::vector<std::string> motors;
  for (const auto& [name, c] : calibration) motors.push_back(name);
  set_torque(bus, motors, false);
  for (const auto& [name, c] : calibration) {
    if (is_feetech(bus) && std::abs(c.homing_offset) > 2047) {
      throw std::invalid_argument("homing offset " + std::to_string(c.homing_offset) + " of " + name +
                                  " does not fit a Feetech servo (at most 2047 either way)");
    }
  }
  for (const auto& [name, c] : calibration) {
    if (!is_feetech(bus)) bus.write("Drive_Mode", name, c.drive_mode);
    bus.write("Homing_Offset", name, c.homing_offset);
    bus.write("Min_Position_Limit", name, c.range_min);
    bus.write("Max_Position_Limit", name, c.range_max);
  }
}

Calibration read_calibration(MotorsBus& bus, const std::vector<std::string>& motors) {
  const auto offsets = bus.sync_read("Homing_Offset", motors);
  const auto mins = bus.sync_read("Min_Position_Limit", motors);
  const auto maxes = bus.sync_read("Max_Position_Limit", motors);
  std::map<std::string, int32_t> modes;
  if (!is_feetech(bus)) modes = bus.sync_read("Drive_Mode", motors);
  Calibration out;
  for (const auto& m : motors) {
    out.emplace_back(m, MotorCalibration{bus.motors.at(m).id, modes.count(m) ? modes.at(m) : 0, offsets.at(m),
                                         mins.at(m), maxes.at(m)});
  }
  return out;
}

std::optional<std::vector<std::string>> calibration_mismatch(MotorsBus& bus, const Calibration& calibration) {
  std::vector<std::string> differences;
  for (const auto& [name, motor] : bus.motors) {
    const MotorCalibration* c = find_motor(calibration, name);
    if (!c) differences.push_back(name + " is not in the file");
    else if (c->id != motor.id) differences.push_back(name + " has id " + std::to_string(c->id) + " in the file, " + std::to_string(motor.id) + " on the arm");
  }
  if (!differences.empty()) return differences;
  std::vector<std::string> motors;
  for (const auto& [name, c] : calibration) {
    if (bus.motors.count(name)) motors.push_back(name);
  }
  const Calibration servos = read_calibration(bus, motors);
  for (const auto& [name, in_servo] : servos) {
    const MotorCalibration& in_file = *find_motor(calibration, name);
    std::string line;
    auto compare = [&](const char* what, int servo, int file) {
      if (servo != file) {
        line += (line.empty() ? "" : ", ") + std::string(what) + " " + std::to_string(servo) + " in the servo, " +
                std::to_string(file) + " in the file";
      }
    };
    compare("homing_offset", in_servo.homing_offset, in_file.homing_offset);
    compare("range_min", in_servo.range_min, in_file.range_min);
    compare("range_max", in_servo.range_max, in_file.range_max);
    if (!is_feetech(bus)) compare("drive_mode", in_servo.drive_mode, in_file.drive_mode);
    if (!line.empty()) differences.push_back(name + ": " + line);
  }
  if (differences.empty()) return std::nullopt;
  return differences;
}

RegisterSnapshot RegisterSnapshot::take(MotorsBus& bus) {
  // Everything calibrate() and configure() write, where the model has it.
  static const char* const kRegisters[] = {
      "Return_Delay_Time", "Maximum_Acceleration", "Acceleration", "Phase", "Operating_Mode", "Drive_Mode",
      "P_Coefficient", "I_Coefficient", "D_Coefficient", "Position_P_Gain", "Position_I_Gain", "Position_D_Gain",
      "Max_Torque_Limit", "Protection_Current", "Overload_Torque", "Homing_Offset", "Min_Position_Limit",
      "Max_Position_Limit", "Torque_Enable", "Lock"};
  RegisterSnapshot snapshot;
  for (const auto& [name, motor] : bus.motors) {
    const ControlTable& table = control_table(motor.model);
    for (const char* reg : kRegisters) {
      if (table.find(reg)) snapshot.values_.emplace_back(name, reg, bus.read(reg, name));
    }
  }
  return snapshot;
}

namespace {
bool written_last(const std::string& reg) { return reg == "Torque_Enable" || reg == "Lock"; }
}  // namespace

void RegisterSnapshot::restore(MotorsBus& bus, size_t& done) const {
  set_torque(bus, all_motors(bus), false);  // EEPROM writable (and, on Feetech, saved)
  for (; done < values_.size(); ++done) {
    const auto& [motor, reg, value] = values_[done];
    if (!written_last(reg)) bus.write(reg, motor, value);
  }
  std::map<std::string, int32_t> torque, lock;
  for (const auto& [motor, reg, value] : values_) {
    if (reg == "Torque_Enable") torque[motor] = value;
    else if (reg == "Lock") lock[motor] = value;
  }
  if (!lock.empty()) bus.sync_write("Lock", lock);
  // Torque comes back only where it was on; a servo taking torque holds where it is.
  for (const auto& [motor, on] : torque) {
    if (on) bus.write("Torque_Enable", motor, on);
  }
}

std::vector<std::string> RegisterSnapshot::not_restored(size_t done) const {
  std::vector<std::string> lines;
  std::string motor_now;
  for (size_t i = 0; i < values_.size(); ++i) {
    const auto& [motor, reg, value] = values_[i];
    if (reg == "Torque_Enable" || (i < done && reg != "Lock")) continue;
    if (motor != motor_now) {
      lines.push_back(motor + ": " + reg);
      motor_now = motor;
    } else {
      lines.back() += ", " + reg;
    }
  }
  return lines;
}

}  // namespace armkit

namespace armkit {

std::string setup_motor(MotorsBus& bus, const std::string& motor) {
  const auto named = bus.motors.find(motor);
  if (named == bus.motors.end()) throw std::invalid_argument("no motor '" + motor + "' on this bus");
  const Motor& wanted = named->second;
  const ControlTable& table = control_table(wanted.model);
  std::vector<std::pair<int, uint8_t>> heard;  // rate, id
  std::string listing;
  const auto found = bus.family == ServoFamily::feetech ? FeetechMotorsBus::scan_port(bus.port) : DynamixelMotorsBus::scan_port(bus.port);
  for (const auto& [rate, ids] : found) {
    for (const int id : ids) {
      heard.emplace_back(rate, static_cast<uint8_t>(id));
      listing += (listing.empty() ? "" : ", ") + ("id " + std::to_string(id) + " at " + std::to_string(rate) + " baud");
    }
  }
  if (heard.empty()) {
    throw BusError("no servo answers on " + bus.port + ": wire the controller board to the '" + motor +
                   "' motor only, and check that it is powered");
  }
  if (heard.size() > 1) {
    throw BusError("more than one servo answers on " + bus.port + " (" + listing + "): wire the controller board to the '" +
                   motor + "' motor only");
  }
  const auto [rate, id] = heard.front();
  const auto code = code_for_baudrate(bus.family, bus.default_baudrate());
  if (!code) throw std::logic_error("no baud rate code for " + std::to_string(bus.default_baudrate()));
  const auto reg = [&](std::string_view name) -> const Register& { return table.at(name); };
  bus._connect(false);
  try {
    bus.set_baudrate(rate);
    const auto model = bus.ping(id);
    if (model && *model != table.model_number) {
      const ControlTable* other = control_table_for_number(bus.family, *model);
      throw BusError("the servo on " + bus.port + " is " + (other ? "a " + std::string(other->model) : "model " + std::to_string(*model)) +
                     ", not the " + std::string(table.model) + " the '" + motor + "' motor is");
    }
    bus.write(reg("Torque_Enable").address, reg("Torque_Enable").size, id, 0);
    if (is_feetech(bus)) bus.write(reg("Lock").address, reg("Lock").size, id, 0);  // EPROM writes are kept
    if (id != wanted.id) bus.write(reg("ID").address, reg("ID").size, id, wanted.id);
    if (rate != bus.default_baudrate()) bus.write(reg("Baud_Rate").address, reg("Baud_Rate").size, wanted.id, static_cast<uint32_t>(*code));
    bus.set_baudrate(bus.default_baudrate());
    if (!bus.ping(wanted.id)) {
      throw BusError("the '" + motor + "' motor does not answer as id " + std::to_string(wanted.id) + " at " +
                     std::to_string(bus.default_baudrate()) + " baud after its setup");
    }
  } catch (...) {
    bus.port_handler.closePort();
    throw;
  }
  bus.port_handler.closePort();
  return listing;
}

}  // namespace armkit
