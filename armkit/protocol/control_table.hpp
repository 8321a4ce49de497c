#pragma once
// Servo control tables as data: one table per model, naming every register
// the arms and the simulated firmware use, with its address, size, storage,
// access, sign encoding and factory default. Everything that needs an
// address asks here; nothing else spells one out.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace armkit {

enum class ServoFamily { feetech, dynamixel };

enum class Storage { eeprom, ram };  // EEPROM survives a power cycle
enum class Access { read_write, read_only };
enum class Sign { none, sign_magnitude, twos_complement };

struct Register {
  std::string_view name;
  uint16_t address;
  uint8_t size;  // bytes
  Storage storage;
  Access access;
  Sign sign = Sign::none;
  uint8_t sign_bit = 0;  // for sign-magnitude values
  int32_t factory_default = 0;
};

struct ControlTable {
  std::string_view model;  // "sts3215", "xl330-m077", ...
  uint16_t model_number;
  ServoFamily family;
  uint8_t firmware_version;  // what a new servo of this model reports
  uint16_t end;  // first address past the table
  std::vector<Register> registers;

  // Throws std::out_of_range naming the model and the register.
  const Register& at(std::string_view name) const;
  const Register* find(std::string_view name) const;
  // The register an address falls in, if any.
  const Register* covering(uint16_t address) const;
};

// Throws std::invalid_argument for a model nobody described.
const ControlTable& control_table(std::string_view model);
const ControlTable* control_table_for_number(ServoFamily family, uint16_t model_number);

// Register bytes (little-endian, `reg.size` of them) ↔ the signed value.
int32_t decode_value(const Register& reg, uint32_t raw);
uint32_t encode_value(const Register& reg, int32_t value);

// The baud rate a Baud_Rate register code stands for, per family.
std::optional<int> baudrate_for_code(ServoFamily family, int code);
std::optional<int> code_for_baudrate(ServoFamily family, int baudrate);

}  // namespace armkit
