#include "armkit/protocol/packets.hpp"

#include <algorithm>
#include <cstdlib>

namespace armkit {
namespace {

uint8_t feetech_checksum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (const uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(~sum);
}

// Feetech: FF FF ID LEN X P.. CHK, where X is the instruction or error byte.
std::optional<Parsed> feetech_parse(std::span<const uint8_t> bytes, bool is_status) {
  size_t start = 0;
  while (start + 1 < bytes.size() && !(bytes[start] == 0xFF && bytes[start + 1] == 0xFF)) ++start;
  // A third 0xFF means the header began one byte later.
  while (start + 2 < bytes.size() && bytes[start + 2] == 0xFF) ++start;
  if (bytes.size() < start + 4) return std::nullopt;
  const uint8_t id = bytes[start + 2];
  const uint8_t len = bytes[start + 3];
  if (id > 0xFE || (is_status && id == 0xFE) || len < 2 || len > 250) throw ProtocolError("corrupt packet header");
  const size_t total = 4 + static_cast<size_t>(len);
  if (bytes.size() < start + total) return std::nullopt;
  const auto body = bytes.subspan(start + 2, total - 3);  // ID .. last param
  if (feetech_checksum(body) != bytes[start + total - 1]) throw ProtocolError("checksum mismatch");
  const uint8_t x = bytes[start + 4];
  if (is_status && x > 0x7F) throw ProtocolError("corrupt error byte");
  StatusPacket p{id, x, {bytes.begin() + static_cast<long>(start) + 5, bytes.begin() + static_cast<long>(start + total) - 1}};
  return Parsed{std::move(p), start + total};
}

std::vector<uint8_t> feetech_packet(uint8_t id, uint8_t x, std::span<const uint8_t> params) {
  std::vector<uint8_t> out{0xFF, 0xFF, id, static_cast<uint8_t>(params.size() + 2), x};
  out.insert(out.end(), params.begin(), params.end());
  out.push_back(feetech_checksum(std::span(out).subspan(2)));
  return out;
}

// Dynamixel 2.0: FF FF FD 00 ID LEN_L LEN_H INST [ERR] P.. CRC_L CRC_H.
std::vector<uint8_t> dynamixel_packet(uint8_t id, std::span<const uint8_t> inst_and_params) {
  const std::vector<uint8_t> body = dynamixel::stuff(inst_and_params);
  const size_t len = body.size() + 2;
  std::vector<uint8_t> out;
  out.reserve(7 + body.size() + 2);
  for (const uint8_t b : {uint8_t{0xFF}, uint8_t{0xFF}, uint8_t{0xFD}, uint8_t{0x00}, id, static_cast<uint8_t>(len & 0xFF),
                          static_cast<uint8_t>(len >> 8)}) {
    out.push_back(b);
  }
  for (const uint8_t b : body) out.push_back(b);
  const uint16_t crc = dynamixel::crc16(out);
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  return out;
}

std::optional<Parsed> dynamixel_parse(std::span<const uint8_t> bytes, bool is_status) {
  size_t start = 0;
  for (;;) {
    if (bytes.size() < start + 4) return std::nullopt;
    if (bytes[start] == 0xFF && bytes[start + 1] == 0xFF && bytes[start + 2] == 0xFD && bytes[start + 3] == 0x00) break;
    ++start;
  }
  if (bytes.size() < start + 7) return std::nullopt;
  const uint8_t id = bytes[start + 4];
  const size_t len = bytes[start + 5] | (static_cast<size_t>(bytes[start + 6]) << 8);
  if (id > 0xFE || len < 3 || len > 1024) throw ProtocolError("corrupt packet header");
  const size_t total = 7 + len;
  if (bytes.size() < start + total) return std::nullopt;
  const auto packet = bytes.subspan(start, total);
  const uint16_t crc = packet[total - 2] | (packet[total - 1] << 8);
  if (dynamixel::crc16(packet.subspan(0, total - 2)) != crc) throw ProtocolError("CRC mismatch");
  const std::vector<uint8_t> body = dynamixel::unstuff(packet.subspan(7, len - 2));
  if (body.empty()) throw ProtocolError("empty packet");
  StatusPacket p;
  p.id = id;
  if (is_status) {
    if (body[0] != 0x55 || body.size() < 2) throw ProtocolError("not a status packet");
    p.error = body[1];
    p.params.assign(body.begin() + 2, body.end());
  } else {
    p.error = body[0];  // the instruction
    p.params.assign(body.begin() + 1, body.end());
  }
  return Parsed{std::move(p), start + total};
}

}  // namespace

namespace feetech {
std::vector<uint8_t> instruction(uint8_t id, uint8_t inst, std::span<const uint8_t> params) {
  return feetech_packet(id, inst, params);
}
std::vector<uint8_t> status(uint8_t id, uint8_t error, std::span<const uint8_t> params) {
  return feetech_packet(id, error, params);
}
std::optional<Parsed> parse_status(std::span<const uint8_t> bytes) { return feetech_parse(bytes, true); }
std::optional<Parsed> parse_instruction(std::span<const uint8_t> bytes) { return feetech_parse(bytes, false); }
}  // namespace feetech

namespace dynamixel {

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (const uint8_t b : bytes) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

std::vector<uint8_t> stuff(std::span<const uint8_t> body) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < body.size(); ++i) {
    out.push_back(body[i]);
    if (i >= 2 && body[i] == 0xFD && body[i - 1] == 0xFF && body[i - 2] == 0xFF) out.push_back(0xFD);
  }
  return out;
}

std::vector<uint8_t> unstuff(std::span<const uint8_t> body) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < body.size(); ++i) {
    out.push_back(body[i]);
    if (i >= 2 && i + 1 < body.size() && body[i] == 0xFD && body[i - 1] == 0xFF && body[i - 2] == 0xFF &&
        body[i + 1] == 0xFD) {
      ++i;  // drop the stuffing byte
    }
  }
  return out;
}

std::vector<uint8_t> instruction(uint8_t id, uint8_t inst, std::span<const uint8_t> params) {
  std::vector<uint8_t> body{inst};
  body.insert(body.end(), params.begin(), params.end());
  return dynamixel_packet(id, body);
}

std::vector<uint8_t> status(uint8_t id, uint8_t error, std::span<const uint8_t> params) {
  std::vector<uint8_t> body{0x55, error};
  body.insert(body.end(), params.begin(), params.end());
  return dynamixel_packet(id, body);
}

std::optional<Parsed> parse_status(std::span<const uint8_t> bytes) { return dynamixel_parse(bytes, true); }
std::optional<Parsed> parse_instruction(std::span<const uint8_t> bytes) { return dynamixel_parse(bytes, false); }

}  // namespace dynamixel

uint32_t encode_sign_magnitude(int32_t value, int sign_bit) {
  const uint32_t magnitude = static_cast<uint32_t>(std::abs(value)) & ((1u << sign_bit) - 1);
  return value < 0 ? magnitude | (1u << sign_bit) : magnitude;
}

int32_t decode_sign_magnitude(uint32_t raw, int sign_bit) {
  const int32_t magnitude = static_cast<int32_t>(raw & ((1u << sign_bit) - 1));
  return raw & (1u << sign_bit) ? -magnitude : magnitude;
}

}  // namespace armkit
