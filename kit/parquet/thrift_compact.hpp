#pragma once
// Thrift's compact protocol, writing only: what Parquet's footer and page
// headers need (structs, i32, i64, binary, lists of those).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kit::parquet {

class CompactWriter {
 public:
  enum Type : uint8_t { I32 = 5, I64 = 6, BINARY = 8, LIST = 9, STRUCT = 12 };

  void field_i32(int16_t id, int32_t v) {
    header(id, I32);
    varint(zigzag(v));
  }
  void field_i64(int16_t id, int64_t v) {
    header(id, I64);
    varint(zigzag(v));
  }
  void field_binary(int16_t id, std::string_view v) {
    header(id, BINARY);
    binary(v);
  }
  void begin_struct(int16_t id) {
    header(id, STRUCT);
    last_.push_back(0);
  }
  void end_struct() {
    out_.push_back(0);
    last_.pop_back();
  }
  void begin_list(int16_t id, Type element, size_t size) {
    header(id, LIST);
    list_header(element, size);
  }
  // Inside a list: elements carry no field header.
  void element_i32(int32_t v) { varint(zigzag(v)); }
  void element_binary(std::string_view v) { binary(v); }
  void begin_element_struct() { last_.push_back(0); }
  void end_element_struct() { end_struct(); }

  // The stop that ends the outermost struct (which has no header).
  void end_message() { out_.push_back(0); }

  const std::string& bytes() const { return out_; }

 private:
  static uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
  void varint(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }
  void binary(std::string_view v) {
    varint(v.size());
    out_.append(v);
  }
  void header(int16_t id, Type type) {
    const int16_t delta = static_cast<int16_t>(id - last_.back());
    if (delta > 0 && delta <= 15) {
      out_.push_back(static_cast<char>((delta << 4) | type));
    } else {
      out_.push_back(static_cast<char>(type));
      varint(zigzag(id));
    }
    last_.back() = id;
  }
  void list_header(Type element, size_t size) {
    if (size < 15) {
      out_.push_back(static_cast<char>((size << 4) | element));
    } else {
      out_.push_back(static_cast<char>(0xF0 | element));
      varint(size);
    }
  }

  std::string out_;
  std::vector<int16_t> last_{0};  // last field id per open struct
};

}  // namespace kit::parquet
