#include "kit/parquet/thrift_reader.hpp"

#include <cstring>

namespace kit::parquet {
namespace {

enum : uint8_t { BOOL_TRUE = 1, BOOL_FALSE = 2, BYTE = 3, I16 = 4, I32 = 5, I64 = 6, DOUBLE = 7, BINARY = 8, LIST = 9, SET = 10,
                 MAP = 11, STRUCT = 12 };

class Decoder {
 public:
  Decoder(std::string_view bytes, size_t& pos) : bytes_(bytes), pos_(pos) {}

  ThriftValue structure(int depth) {
    if (depth > 32) throw ParquetError("Thrift data nested too deeply");
    ThriftValue v;
    int16_t last = 0;
    for (;;) {
      const uint8_t head = byte();
      if (head == 0) return v;
      const uint8_t type = head & 0x0F;
      const int delta = head >> 4;
      const int16_t id = delta ? static_cast<int16_t>(last + delta) : static_cast<int16_t>(zigzag(varint()));
      last = id;
      v.fields[id] = value(type, depth);
    }
  }

 private:
  ThriftValue value(uint8_t type, int depth) {
    ThriftValue v;
    switch (type) {
      case BOOL_TRUE: v.integer = 1; break;
      case BOOL_FALSE: v.integer = 0; break;
      case BYTE: v.integer = static_cast<int8_t>(byte()); break;
      case I16: case I32: case I64: v.integer = zigzag(varint()); break;
      case DOUBLE: {
        const std::string_view b = take(8);
        std::memcpy(&v.real, b.data(), 8);
        break;
      }
      case BINARY: v.binary = std::string(take(static_cast<size_t>(varint()))); break;
      case LIST: case SET: {
        const uint8_t head = byte();
        uint64_t size = head >> 4;
        if (size == 15) size = varint();
        if (size > bytes_.size()) throw ParquetError("Thrift list longer than its message");
        const uint8_t element = head & 0x0F;
        for (uint64_t i = 0; i < size; ++i) {
          // Booleans inside lists are one byte each.
          v.list.push_back(element == BOOL_TRUE || element == BOOL_FALSE ? bool_element() : value(element, depth + 1));
        }
        break;
      }
      case STRUCT: v = structure(depth + 1); break;
      case MAP: throw ParquetError("Thrift maps are not used by Parquet metadata");
      default: throw ParquetError("unknown Thrift type " + std::to_string(type));
    }
    return v;
  }
  ThriftValue bool_element() {
    ThriftValue v;
    v.integer = byte() == 1;
    return v;
  }
  uint8_t byte() {
    if (pos_ >= bytes_.size()) throw ParquetError("Thrift message cut short");
    return static_cast<uint8_t>(bytes_[pos_++]);
  }
  std::string_view take(size_t n) {
    if (n > bytes_.size() - pos_) throw ParquetError("Thrift message cut short");
    const std::string_view out = bytes_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint8_t b = byte();
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    throw ParquetError("Thrift varint too long");
  }
  static int64_t zigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

  std::string_view bytes_;
  size_t& pos_;
};

}  // namespace

const ThriftValue& ThriftValue::at(int16_t id) const {
  const auto it = fields.find(id);
  if (it == fields.end()) throw ParquetError("Parquet metadata lacks field " + std::to_string(id));
  return it->second;
}

ThriftValue read_thrift_struct(std::string_view bytes, size_t& pos) { return Decoder(bytes, pos).structure(0); }

}  // namespace kit::parquet
