#include "kit/parquet/reader.hpp"

#include <snappy.h>

#include <algorithm>
#include <cstring>

namespace kit::parquet {
namespace {

enum : int32_t { T_INT32 = 1, T_INT64 = 2, T_FLOAT = 4, T_DOUBLE = 5, T_BYTE_ARRAY = 6 };
enum : int32_t { REQUIRED = 0, OPTIONAL = 1, REPEATED = 2 };
enum : int32_t { PLAIN = 0, RLE = 3 };
enum : int32_t { DATA_PAGE = 0 };
enum : int32_t { UNCOMPRESSED = 0, SNAPPY = 1 };
constexpr size_t kMaxPageBytes = size_t{1} << 30;

int bit_width(int max_level) {
  int bits = 0;
  while (max_level >> bits) ++bits;
  return bits;
}

class Cursor {
 public:
  Cursor(std::string_view bytes, const std::string& what) : bytes_(bytes), what_(what) {}
  std::string_view take(size_t n) {
    if (n > bytes_.size() - pos_) throw ParquetError(what_ + " is cut short");
    const std::string_view out = bytes_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  template <typename T>
  T plain() {
    T v;
    std::memcpy(&v, take(sizeof(T)).data(), sizeof(T));
    return v;
  }
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const auto b = static_cast<uint8_t>(take(1)[0]);
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    throw ParquetError(what_ + ": varint too long");
  }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  const std::string& what_;
};

// The RLE/bit-packed hybrid behind its 4-byte length: `count` levels.
std::vector<uint8_t> read_levels(Cursor& page, int max_level, size_t count, const std::string& what) {
  const auto length = page.plain<uint32_t>();
  Cursor runs(page.take(length), what);
  const int width = bit_width(max_level);
  std::vector<uint8_t> levels;
  while (levels.size() < count) {
    const uint64_t header = runs.varint();
    if (header & 1) {  // bit-packed groups of 8
      const uint64_t values = (header >> 1) * 8;
      const std::string_view packed = runs.take(static_cast<size_t>((header >> 1) * static_cast<uint64_t>(width)));
      for (uint64_t i = 0; i < values && levels.size() < count; ++i) {
        unsigned v = 0;
        for (int b = 0; b < width; ++b) {
          const uint64_t bit = i * static_cast<uint64_t>(width) + static_cast<uint64_t>(b);
          v |= ((static_cast<uint8_t>(packed[bit / 8]) >> (bit % 8)) & 1u) << b;
        }
        levels.push_back(static_cast<uint8_t>(v));
      }
    } else {
      const uint64_t run = header >> 1;
      unsigned v = 0;
      const std::string_view value = runs.take(static_cast<size_t>((width + 7) / 8));
      for (size_t b = 0; b < value.size(); ++b) v |= static_cast<unsigned>(static_cast<uint8_t>(value[b])) << (8 * b);
      if (run > count - levels.size()) throw ParquetError(what + ": more levels than values");
      levels.insert(levels.end(), static_cast<size_t>(run), static_cast<uint8_t>(v));
    }
    if (levels.size() < count && runs.done()) throw ParquetError(what + ": fewer levels than values");
  }
  for (const auto l : levels) {
    if (l > max_level) throw ParquetError(what + ": a level above the column's nesting");
  }
  return levels;
}

Physical logical_type(int32_t physical) {
  switch (physical) {
    case T_INT32: case T_INT64: return Physical::INT64;
    case T_FLOAT: return Physical::FLOAT;
    case T_DOUBLE: return Physical::DOUBLE;
    case T_BYTE_ARRAY: return Physical::STRING;
    default: throw ParquetError("unsupported physical type " + std::to_string(physical));
  }
}

// Each row's shape from its repetition levels; {} when the lists are ragged.
std::vector<size_t> row_shape(const std::vector<uint8_t>& rep, size_t from, size_t to, int depth, bool empty) {
  if (empty) return std::vector<size_t>(static_cast<size_t>(depth), 0);
  std::vector<size_t> starts(static_cast<size_t>(depth), 0);  // elements started at each level
  for (size_t i = from; i < to; ++i) {
    for (int k = std::max<int>(rep[i], 1) - 1; k < depth; ++k) ++starts[static_cast<size_t>(k)];
  }
  std::vector<size_t> shape;
  size_t outer = 1;
  for (const size_t n : starts) {
    if (n % outer) return {};
    shape.push_back(n / outer);
    outer = n;
  }
  size_t total = 1;
  for (const size_t d : shape) total *= d;
  return total == to - from ? shape : std::vector<size_t>{};
}

}  // namespace

Reader::Reader(std::string bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < 12 || bytes_.compare(0, 4, "PAR1") != 0 || bytes_.compare(bytes_.size() - 4, 4, "PAR1") != 0) {
    throw ParquetError("not a Parquet file");
  }
  uint32_t footer_length;
  std::memcpy(&footer_length, bytes_.data() + bytes_.size() - 8, 4);
  if (footer_length > bytes_.size() - 12) throw ParquetError("Parquet footer longer than the file");
  size_t pos = bytes_.size() - 8 - footer_length;
  const ThriftValue meta = read_thrift_struct(std::string_view(bytes_).substr(0, bytes_.size() - 8), pos);

  // The schema tree, flattened: top-level columns, lists as the writer nests them.
  const auto& elements = meta.at(2).list;
  if (elements.empty()) throw ParquetError("Parquet schema is empty");
  size_t i = 1;
  const int64_t top = elements[0].has(5) ? elements[0].at(5).integer : 0;
  for (int64_t c = 0; c < top; ++c) {
    if (i >= elements.size()) throw ParquetError("Parquet schema ends early");
    ColumnSpec spec;
    spec.name = elements[i].at(4).binary;
    int32_t physical = -1;
    for (;;) {
      if (i >= elements.size()) throw ParquetError("Parquet schema ends early");
      const ThriftValue& e = elements[i++];
      const int64_t repetition = e.has(3) ? e.at(3).integer : int64_t{REQUIRED};
      if (repetition == OPTIONAL) throw ParquetError("column " + spec.name + ": optional values are not supported");
      if (repetition == REPEATED) ++spec.list_depth;
      const int64_t children = e.has(5) ? e.at(5).integer : 0;
      if (children == 0) {
        physical = static_cast<int32_t>(e.at(1).integer);
        break;
      }
      if (children != 1) throw ParquetError("column " + spec.name + ": structs are not supported");
    }
    spec.type = logical_type(physical);
    schema_.push_back(spec);
    physical_.push_back(physical);
  }
  groups_ = meta.at(4).list;
  for (const auto& g : groups_) {
    if (g.at(1).list.size() != schema_.size()) throw ParquetError("row group with another number of columns");
  }
  if (meta.has(5)) {
    for (const auto& kv : meta.at(5).list) key_values_.emplace_back(kv.at(1).binary, kv.has(2) ? kv.at(2).binary : "");
  }
}

int64_t Reader::rows(size_t group) const { return groups_.at(group).at(3).integer; }

int64_t Reader::total_rows() const {
  int64_t n = 0;
  for (size_t g = 0; g < groups_.size(); ++g) n += rows(g);
  return n;
}

ColumnValues Reader::column(size_t group, const std::string& name) const {
  for (size_t c = 0; c < schema_.size(); ++c) {
    if (schema_[c].name == name) return column(group, c);
  }
  throw ParquetError("no column " + name);
}

ColumnValues Reader::column(size_t group, size_t column) const {
  ColumnValues out;
  out.spec = schema_.at(column);
  const std::string what = "column " + out.spec.name;
  const ThriftValue& meta = groups_.at(group).at(1).list.at(column).at(3);
  const int64_t codec = meta.has(4) ? meta.at(4).integer : int64_t{UNCOMPRESSED};
  if (codec != UNCOMPRESSED && codec != SNAPPY) throw ParquetError(what + ": only uncompressed and snappy pages are supported");
  const int64_t num_values = meta.at(5).integer;
  const int64_t offset = meta.at(9).integer;
  if (offset < 4 || static_cast<uint64_t>(offset) >= bytes_.size()) throw ParquetError(what + ": data page outside the file");
  const int depth = out.spec.list_depth;
  const std::string_view file(bytes_);

  std::vector<uint8_t> rep, def;
  size_t pos = static_cast<size_t>(offset);
  for (int64_t read = 0; read < num_values;) {
    const ThriftValue header = read_thrift_struct(file, pos);
    if (header.at(1).integer != DATA_PAGE) throw ParquetError(what + ": only plain data pages are supported");
    const int64_t size = header.at(3).integer;
    if (size < 0 || static_cast<uint64_t>(size) > bytes_.size() - pos) throw ParquetError(what + ": page outside the file");
    const ThriftValue& data = header.at(5);
    const int64_t count = data.at(1).integer;
    if (data.at(2).integer != PLAIN) throw ParquetError(what + ": only PLAIN values are supported");
    if (count <= 0 || count > num_values - read) throw ParquetError(what + ": page value count does not fit");
    std::string unpacked;
    std::string_view stored = file.substr(pos, static_cast<size_t>(size));
    pos += static_cast<size_t>(size);
    if (codec == SNAPPY) {
      const int64_t expected = header.at(2).integer;
      size_t length = 0;
      if (!snappy::GetUncompressedLength(stored.data(), stored.size(), &length) || expected < 0 ||
          length != static_cast<size_t>(expected) || length > kMaxPageBytes ||
          !snappy::Uncompress(stored.data(), stored.size(), &unpacked)) {
        throw ParquetError(what + ": damaged snappy page");
      }
      stored = unpacked;
    }
    Cursor page(stored, what);
    std::vector<uint8_t> page_def;
    if (depth > 0) {
      const auto r = read_levels(page, depth, static_cast<size_t>(count), what);
      page_def = read_levels(page, depth, static_cast<size_t>(count), what);
      rep.insert(rep.end(), r.begin(), r.end());
      def.insert(def.end(), page_def.begin(), page_def.end());
    }
    for (int64_t v = 0; v < count; ++v) {
      if (depth > 0 && page_def[static_cast<size_t>(v)] < depth) continue;  // an empty list: no value
      switch (physical_[column]) {
        case T_INT32: out.ints.push_back(page.plain<int32_t>()); break;
        case T_INT64: out.ints.push_back(page.plain<int64_t>()); break;
        case T_FLOAT: out.reals.push_back(page.plain<float>()); break;
        case T_DOUBLE: out.reals.push_back(page.plain<double>()); break;
        case T_BYTE_ARRAY: out.strings.emplace_back(page.take(page.plain<uint32_t>())); break;
      }
    }
    read += count;
  }

  // Rows: each starts where the repetition level is 0.
  if (depth == 0) {
    for (int64_t r = 0; r <= num_values; ++r) out.row_start.push_back(static_cast<size_t>(r));
  } else {
    size_t value = 0;
    for (size_t l = 0; l < rep.size(); ++l) {
      if (rep[l] == 0) out.row_start.push_back(value);
      if (def[l] == depth) ++value;
    }
    out.row_start.push_back(value);
    size_t level = 0;
    for (size_t r = 0; r + 1 < out.row_start.size(); ++r) {
      size_t end = level + 1;
      while (end < rep.size() && rep[end] != 0) ++end;
      out.shapes.push_back(row_shape(rep, level, end, depth, def[level] < depth));
      level = end;
    }
  }
  if (static_cast<int64_t>(out.rows()) != rows(group)) throw ParquetError(what + ": rows do not match the row group");
  return out;
}

}  // namespace kit::parquet
