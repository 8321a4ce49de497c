#pragma once
// Thrift's compact protocol, reading: any message decoded into a tree of
// fields by id, so Parquet's footer and page headers can be looked up
// without generated code. Throws ParquetError on malformed input.
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kit::parquet {

struct ParquetError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ThriftValue {
  int64_t integer = 0;  // bool, byte, i16, i32, i64 (zigzag decoded)
  double real = 0;
  std::string binary;
  std::vector<ThriftValue> list;
  std::map<int16_t, ThriftValue> fields;  // a struct's fields by id

  const ThriftValue& at(int16_t id) const;  // throws when the field is missing
  bool has(int16_t id) const { return fields.count(id) != 0; }
};

// Decodes the struct that starts at `pos`; `pos` moves past it.
ThriftValue read_thrift_struct(std::string_view bytes, size_t& pos);

}  // namespace kit::parquet
