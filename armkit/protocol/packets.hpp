#pragma once
// Servo bus packets: Feetech STS/SCS and Dynamixel Protocol 2.0 instruction
// and status packets, and the sign encodings of their registers.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace armkit {

// A packet that arrived but cannot be trusted (bad checksum, impossible length).
struct ProtocolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum Instruction : uint8_t {
  PING = 0x01,
  READ = 0x02,
  WRITE = 0x03,
  REG_WRITE = 0x04,
  ACTION = 0x05,
  SYNC_READ = 0x82,
  SYNC_WRITE = 0x83
};
constexpr uint8_t BROADCAST_ID = 0xFE;

struct StatusPacket {
  uint8_t id = 0;
  uint8_t error = 0;  // the servo's error byte; 0 when all is well
  std::vector<uint8_t> params;
};

// A status packet found at the front of a byte stream, and how many bytes it took.
struct Parsed {
  StatusPacket packet;
  size_t consumed;
};

namespace feetech {
std::vector<uint8_t> instruction(uint8_t id, uint8_t instruction, std::span<const uint8_t> params = {});
// Skips noise before a header; nullopt while the packet is incomplete.
// Throws ProtocolError for a corrupt packet.
std::optional<Parsed> parse_status(std::span<const uint8_t> bytes);
// Packets the simulated servos receive.
std::optional<Parsed> parse_instruction(std::span<const uint8_t> bytes);
std::vector<uint8_t> status(uint8_t id, uint8_t error, std::span<const uint8_t> params = {});
}  // namespace feetech

namespace dynamixel {
// Low bits of a status packet's error byte; bit 7 is the hardware alert.
enum Error : uint8_t {
  RESULT_FAIL = 0x01,
  INSTRUCTION_ERROR = 0x02,
  CRC_ERROR = 0x03,
  DATA_RANGE_ERROR = 0x04,
  DATA_LENGTH_ERROR = 0x05,
  DATA_LIMIT_ERROR = 0x06,
  ACCESS_ERROR = 0x07,
};
constexpr uint8_t HARDWARE_ALERT = 0x80;
uint16_t crc16(std::span<const uint8_t> bytes);
std::vector<uint8_t> stuff(std::span<const uint8_t> body);
std::vector<uint8_t> unstuff(std::span<const uint8_t> body);
std::vector<uint8_t> instruction(uint8_t id, uint8_t instruction, std::span<const uint8_t> params = {});
std::optional<Parsed> parse_status(std::span<const uint8_t> bytes);
std::optional<Parsed> parse_instruction(std::span<const uint8_t> bytes);
std::vector<uint8_t> status(uint8_t id, uint8_t error, std::span<const uint8_t> params = {});
}  // namespace dynamixel

// Sign-magnitude values with the sign in `sign_bit` (Feetech positions: 15).
uint32_t encode_sign_magnitude(int32_t value, int sign_bit);
int32_t decode_sign_magnitude(uint32_t raw, int sign_bit);

}  // namespace armkit
