#include "armkit/protocol/control_table.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "armkit/protocol/packets.hpp"

namespace armkit {
namespace {

constexpr auto E = Storage::eeprom;
constexpr auto R = Storage::ram;
constexpr auto RW = Access::read_write;
constexpr auto RO = Access::read_only;

Register sm(std::string_view name, uint16_t address, Storage storage, Access access, uint8_t bit, int32_t value = 0) {
  return {name, address, 2, storage, access, Sign::sign_magnitude, bit, value};
}
Register tc(std::string_view name, uint16_t address, uint8_t size, Storage storage, Access access, int32_t value = 0) {
  return {name, address, size, storage, access, Sign::twos_complement, 0, value};
}

// STS3215. Addresses up to 39 are kept in EPROM, 40..71 in SRAM; the
// factory area (80 and up) is kept like EPROM.
ControlTable sts3215() {
  return {"sts3215", 777, ServoFamily::feetech, 10, 86,
          {
              {"Firmware_Major_Version", 0, 1, E, RO, Sign::none, 0, 3},
              {"Firmware_Minor_Version", 1, 1, E, RO, Sign::none, 0, 10},
              {"Model_Number", 3, 2, E, RO, Sign::none, 0, 777},
              {"ID", 5, 1, E, RW, Sign::none, 0, 1},
              {"Baud_Rate", 6, 1, E, RW, Sign::none, 0, 0},
              {"Return_Delay_Time", 7, 1, E, RW, Sign::none, 0, 0},
              {"Response_Status_Level", 8, 1, E, RW, Sign::none, 0, 1},
              {"Min_Position_Limit", 9, 2, E, RW, Sign::none, 0, 0},
              {"Max_Position_Limit", 11, 2, E, RW, Sign::none, 0, 4095},
              {"Max_Temperature_Limit", 13, 1, E, RW, Sign::none, 0, 70},
              {"Max_Voltage_Limit", 14, 1, E, RW, Sign::none, 0, 140},
              {"Min_Voltage_Limit", 15, 1, E, RW, Sign::none, 0, 40},
              {"Max_Torque_Limit", 16, 2, E, RW, Sign::none, 0, 1000},
              {"Phase", 18, 1, E, RW, Sign::none, 0, 12},
              {"Unloading_Condition", 19, 1, E, RW, Sign::none, 0, 44},
              {"LED_Alarm_Condition", 20, 1, E, RW, Sign::none, 0, 47},
              {"P_Coefficient", 21, 1, E, RW, Sign::none, 0, 32},
              {"D_Coefficient", 22, 1, E, RW, Sign::none, 0, 32},
              {"I_Coefficient", 23, 1, E, RW, Sign::none, 0, 0},
              {"Minimum_Startup_Force", 24, 2, E, RW, Sign::none, 0, 16},
              {"CW_Dead_Zone", 26, 1, E, RW, Sign::none, 0, 1},
              {"CCW_Dead_Zone", 27, 1, E, RW, Sign::none, 0, 1},
              {"Protection_Current", 28, 2, E, RW, Sign::none, 0, 500},
              {"Angular_Resolution", 30, 1, E, RW, Sign::none, 0, 1},
              sm("Homing_Offset", 31, E, RW, 11),
              {"Operating_Mode", 33, 1, E, RW, Sign::none, 0, 0},
              {"Protective_Torque", 34, 1, E, RW, Sign::none, 0, 20},
              {"Protection_Time", 35, 1, E, RW, Sign::none, 0, 200},
              {"Overload_Torque", 36, 1, E, RW, Sign::none, 0, 80},
              {"Velocity_closed_loop_P_proportional_coefficient", 37, 1, E, RW, Sign::none, 0, 10},
              {"Over_Current_Protection_Time", 38, 1, E, RW, Sign::none, 0, 200},
              {"Velocity_closed_loop_I_integral_coefficient", 39, 1, E, RW, Sign::none, 0, 200},
              {"Torque_Enable", 40, 1, R, RW, Sign::none, 0, 0},
              {"Acceleration", 41, 1, R, RW, Sign::none, 0, 0},
              sm("Goal_Position", 42, R, RW, 15),
              {"Goal_Time", 44, 2, R, RW, Sign::none, 0, 0},
              sm("Goal_Velocity", 46, R, RW, 15),
              {"Torque_Limit", 48, 2, R, RW, Sign::none, 0, 1000},
              {"Lock", 55, 1, R, RW, Sign::none, 0, 1},
              sm("Present_Position", 56, R, RO, 15),
              sm("Present_Velocity", 58, R, RO, 15),
              sm("Present_Load", 60, R, RO, 10),
              {"Present_Voltage", 62, 1, R, RO, Sign::none, 0, 0},
              {"Present_Temperature", 63, 1, R, RO, Sign::none, 0, 0},
              {"Status", 65, 1, R, RO, Sign::none, 0, 0},
              {"Moving", 66, 1, R, RO, Sign::none, 0, 0},
              {"Present_Current", 69, 2, R, RO, Sign::none, 0, 0},
              {"Maximum_Acceleration", 85, 1, E, RW, Sign::none, 0, 254},
          }};
}

// Dynamixel X series on Protocol 2.0: 0..63 EEPROM, 64 and up RAM.
ControlTable dynamixel_x(std::string_view model, uint16_t number, uint8_t firmware, bool xl330, int32_t p_gain,
                         int32_t max_voltage, int32_t min_voltage, int32_t velocity_limit) {
  ControlTable t{model, number, ServoFamily::dynamixel, firmware, 147,
                 {
                     {"Model_Number", 0, 2, E, RO, Sign::none, 0, number},
                     {"Model_Information", 2, 4, E, RO, Sign::none, 0, 0},
                     {"Firmware_Version", 6, 1, E, RO, Sign::none, 0, firmware},
                     {"ID", 7, 1, E, RW, Sign::none, 0, 1},
                     {"Baud_Rate", 8, 1, E, RW, Sign::none, 0, 1},
                     {"Return_Delay_Time", 9, 1, E, RW, Sign::none, 0, 250},
                     {"Drive_Mode", 10, 1, E, RW, Sign::none, 0, 0},
                     {"Operating_Mode", 11, 1, E, RW, Sign::none, 0, 3},
                     {"Secondary_ID", 12, 1, E, RW, Sign::none, 0, 255},
                     {"Protocol_Type", 13, 1, E, RW, Sign::none, 0, 2},
                     tc("Homing_Offset", 20, 4, E, RW),
                     {"Moving_Threshold", 24, 4, E, RW, Sign::none, 0, 10},
                     {"Temperature_Limit", 31, 1, E, RW, Sign::none, 0, xl330 ? 70 : 72},
                     {"Max_Voltage_Limit", 32, 2, E, RW, Sign::none, 0, max_voltage},
                     {"Min_Voltage_Limit", 34, 2, E, RW, Sign::none, 0, min_voltage},
                     {"PWM_Limit", 36, 2, E, RW, Sign::none, 0, 885},
                     {"Velocity_Limit", 44, 4, E, RW, Sign::none, 0, velocity_limit},
                     {"Max_Position_Limit", 48, 4, E, RW, Sign::none, 0, 4095},
                     {"Min_Position_Limit", 52, 4, E, RW, Sign::none, 0, 0},
                     {"Shutdown", 63, 1, E, RW, Sign::none, 0, 52},
                     {"Torque_Enable", 64, 1, R, RW, Sign::none, 0, 0},
                     {"LED", 65, 1, R, RW, Sign::none, 0, 0},
                     {"Status_Return_Level", 68, 1, R, RW, Sign::none, 0, 2},
                     {"Registered_Instruction", 69, 1, R, RO, Sign::none, 0, 0},
                     {"Hardware_Error_Status", 70, 1, R, RO, Sign::none, 0, 0},
                     {"Velocity_I_Gain", 76, 2, R, RW, Sign::none, 0, xl330 ? 1600 : 1920},
                     {"Velocity_P_Gain", 78, 2, R, RW, Sign::none, 0, xl330 ? 180 : 100},
                     {"Position_D_Gain", 80, 2, R, RW, Sign::none, 0, 0},
                     {"Position_I_Gain", 82, 2, R, RW, Sign::none, 0, 0},
                     {"Position_P_Gain", 84, 2, R, RW, Sign::none, 0, p_gain},
                     {"Feedforward_2nd_Gain", 88, 2, R, RW, Sign::none, 0, 0},
                     {"Feedforward_1st_Gain", 90, 2, R, RW, Sign::none, 0, 0},
                     {"Bus_Watchdog", 98, 1, R, RW, Sign::none, 0, 0},
                     tc("Goal_PWM", 100, 2, R, RW),
                     tc("Goal_Velocity", 104, 4, R, RW),
                     {"Profile_Acceleration", 108, 4, R, RW, Sign::none, 0, 0},
                     {"Profile_Velocity", 112, 4, R, RW, Sign::none, 0, 0},
                     tc("Goal_Position", 116, 4, R, RW),
                     {"Realtime_Tick", 120, 2, R, RO, Sign::none, 0, 0},
                     {"Moving", 122, 1, R, RO, Sign::none, 0, 0},
                     {"Moving_Status", 123, 1, R, RO, Sign::none, 0, 0},
                     tc("Present_PWM", 124, 2, R, RO),
                     tc("Present_Velocity", 128, 4, R, RO),
                     tc("Present_Position", 132, 4, R, RO),
                     {"Velocity_Trajectory", 136, 4, R, RO, Sign::none, 0, 0},
                     {"Position_Trajectory", 140, 4, R, RO, Sign::none, 0, 0},
                     {"Present_Input_Voltage", 144, 2, R, RO, Sign::none, 0, 0},
                     {"Present_Temperature", 146, 1, R, RO, Sign::none, 0, 0},
                 }};
  if (xl330) {
    t.registers.push_back({"Current_Limit", 38, 2, E, RW, Sign::none, 0, 1750});
    t.registers.push_back({"Startup_Configuration", 60, 1, E, RW, Sign::none, 0, 0});
    t.registers.push_back(tc("Goal_Current", 102, 2, R, RW));
    t.registers.push_back(tc("Present_Current", 126, 2, R, RO));
  } else {
    t.registers.push_back(tc("Present_Load", 126, 2, R, RO));
  }
  std::sort(t.registers.begin(), t.registers.end(),
            [](const Register& a, const Register& b) { return a.address < b.address; });
  return t;
}

const std::vector<ControlTable>& tables() {
  static const std::vector<ControlTable> all = {
      sts3215(),
      dynamixel_x("xl330-m077", 1190, 46, true, 400, 70, 35, 445),
      dynamixel_x("xl330-m288", 1200, 46, true, 400, 70, 35, 445),
      dynamixel_x("xl430-w250", 1060, 45, false, 800, 140, 60, 265),
  };
  return all;
}

// Baud_Rate codes, as the vendors' tables give them.
const std::map<int, int>& baud_codes(ServoFamily family) {
  static const std::map<int, int> feetech = {{0, 1'000'000}, {1, 500'000}, {2, 250'000}, {3, 128'000},
                                             {4, 115'200},   {5, 76'800},  {6, 57'600},  {7, 38'400}};
  static const std::map<int, int> dynamixel = {{0, 9'600},     {1, 57'600},    {2, 115'200},  {3, 1'000'000},
                                               {4, 2'000'000}, {5, 3'000'000}, {6, 4'000'000}};
  return family == ServoFamily::feetech ? feetech : dynamixel;
}

}  // namespace

const Register* ControlTable::find(std::string_view name) const {
  for (const auto& r : registers) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

const Register& ControlTable::at(std::string_view name) const {
  if (const Register* r = find(name)) return *r;
  throw std::out_of_range("the " + std::string(model) + " has no register " + std::string(name));
}

const Register* ControlTable::covering(uint16_t address) const {
  for (const auto& r : registers) {
    if (address >= r.address && address < r.address + r.size) return &r;
  }
  return nullptr;
}

const ControlTable& control_table(std::string_view model) {
  for (const auto& t : tables()) {
    if (t.model == model) return t;
  }
  throw std::invalid_argument("unknown servo model '" + std::string(model) + "'");
}

const ControlTable* control_table_for_number(ServoFamily family, uint16_t model_number) {
  for (const auto& t : tables()) {
    if (t.family == family && t.model_number == model_number) return &t;
  }
  return nullptr;
}

int32_t decode_value(const Register& reg, uint32_t raw) {
  switch (reg.sign) {
    case Sign::sign_magnitude:
      return decode_sign_magnitude(raw, reg.sign_bit);
    case Sign::twos_complement: {
      if (reg.size >= 4) return static_cast<int32_t>(raw);
      const uint32_t top = 1u << (8 * reg.size - 1);
      return static_cast<int32_t>(raw & top ? raw | ~((top << 1) - 1) : raw);
    }
    case Sign::none:
      break;
  }
  return static_cast<int32_t>(raw);
}

uint32_t encode_value(const Register& reg, int32_t value) {
  const uint32_t mask = reg.size >= 4 ? 0xFFFFFFFFu : (1u << (8 * reg.size)) - 1;
  if (reg.sign == Sign::sign_magnitude) return encode_sign_magnitude(value, reg.sign_bit);
  return static_cast<uint32_t>(value) & mask;
}

std::optional<int> baudrate_for_code(ServoFamily family, int code) {
  const auto& codes = baud_codes(family);
  const auto it = codes.find(code);
  return it == codes.end() ? std::nullopt : std::optional<int>(it->second);
}

std::optional<int> code_for_baudrate(ServoFamily family, int baudrate) {
  for (const auto& [code, rate] : baud_codes(family)) {
    if (rate == baudrate) return code;
  }
  return std::nullopt;
}

}  // namespace armkit
