#include "kit/parquet/reader.hpp"

#include <snappy.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

#include "kit/parquet/format_codes.hpp"

namespace kit::parquet {
namespace {

using namespace codes;
// Every allocation is bounded by what a file can really hold, never by what
// it declares: a page is at most this large unpacked (writers cut pages at
// about 1 MiB), and a column chunk holds at most this many values (a dataset's
// row groups are an episode; other writers' a million rows of a few values).
constexpr size_t kMaxPageBytes = size_t{64} << 20;
constexpr int64_t kMaxColumnValues = int64_t{1} << 24;
// What is set aside before values are read; the rest grows as they are.
constexpr size_t kReserveAtMost = 4096;

const char* encoding_name(int64_t e) {
  switch (e) {
    case 1: return "GROUP_VAR_INT";
    case 4: return "BIT_PACKED";
    default: return "an unknown encoding";
  }
}

const char* codec_name(int64_t c) {
  switch (c) {
    case 3: return "LZO";
    case 4: return "BROTLI";
    case 5: return "LZ4";
    case 7: return "LZ4_RAW";
    default: return "an unknown codec";
  }
}

int bit_width(uint64_t max_value) {
  int bits = 0;
  while (bits < 64 && (max_value >> bits)) ++bits;
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
  std::string_view rest() { return take(bytes_.size() - pos_); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  const std::string& what_;
};

// The RLE/bit-packed hybrid: `count` values of `width` bits.
std::vector<uint32_t> read_hybrid(Cursor& runs, int width, size_t count, const std::string& what) {
  if (width > 32) throw ParquetError(what + ": values wider than 32 bits");
  std::vector<uint32_t> out;
  out.reserve(std::min(count, kReserveAtMost));
  while (out.size() < count) {
    const uint64_t header = runs.varint();
    if (header & 1) {  // bit-packed groups of 8
      const uint64_t groups = header >> 1;
      if (groups > (uint64_t{1} << 32)) throw ParquetError(what + ": impossible bit-packed run");
      const std::string_view packed = runs.take(static_cast<size_t>(groups * static_cast<uint64_t>(width)));
      for (uint64_t i = 0; i < groups * 8 && out.size() < count; ++i) {
        uint32_t v = 0;
        for (int b = 0; b < width; ++b) {
          const uint64_t bit = i * static_cast<uint64_t>(width) + static_cast<uint64_t>(b);
          v |= static_cast<uint32_t>((static_cast<uint8_t>(packed[bit / 8]) >> (bit % 8)) & 1u) << b;
        }
        out.push_back(v);
      }
    } else {
      const uint64_t run = header >> 1;
      uint32_t v = 0;
      const std::string_view value = runs.take(static_cast<size_t>((width + 7) / 8));
      for (size_t b = 0; b < value.size(); ++b) v |= static_cast<uint32_t>(static_cast<uint8_t>(value[b])) << (8 * b);
      if (run > count - out.size()) throw ParquetError(what + ": more values than the page holds");
      out.insert(out.end(), static_cast<size_t>(run), v);
    }
    if (out.size() < count && runs.done()) throw ParquetError(what + ": fewer levels than values");
  }
  return out;
}

std::vector<uint8_t> to_levels(const std::vector<uint32_t>& values, int max_level, const std::string& what) {
  std::vector<uint8_t> out;
  out.reserve(values.size());
  for (const auto v : values) {
    if (v > static_cast<uint32_t>(max_level)) throw ParquetError(what + ": a level above the column's nesting");
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

// Levels of a v1 page: behind a 4-byte length.
std::vector<uint8_t> read_levels(Cursor& page, int max_level, size_t count, const std::string& what) {
  const auto length = page.plain<uint32_t>();
  Cursor runs(page.take(length), what);
  return to_levels(read_hybrid(runs, bit_width(static_cast<uint64_t>(max_level)), count, what), max_level, what);
}

std::string decompress(int64_t codec, std::string_view stored, int64_t expected, const std::string& what) {
  if (expected < 0 || static_cast<uint64_t>(expected) > kMaxPageBytes) throw ParquetError(what + ": a page of impossible size");
  const auto size = static_cast<size_t>(expected);
  std::string out;
  switch (codec) {
    case SNAPPY: {
      size_t length = 0;
      if (!snappy::GetUncompressedLength(stored.data(), stored.size(), &length) || length != size ||
          !snappy::Uncompress(stored.data(), stored.size(), &out)) {
        throw ParquetError(what + ": damaged snappy page");
      }
      return out;
    }
    case GZIP: {
      out.resize(size);
      z_stream z{};
      if (inflateInit2(&z, 15 + 32) != Z_OK) throw ParquetError(what + ": cannot start gzip");  // gzip or zlib header
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stored.data()));
      z.avail_in = static_cast<uInt>(stored.size());
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      const int r = inflate(&z, Z_FINISH);
      const size_t produced = out.size() - z.avail_out;
      inflateEnd(&z);
      if (r != Z_STREAM_END || produced != size) throw ParquetError(what + ": damaged gzip page");
      return out;
    }
    case ZSTD: {
      out.resize(size);
      const size_t r = ZSTD_decompress(out.data(), out.size(), stored.data(), stored.size());
      if (ZSTD_isError(r) || r != size) throw ParquetError(what + ": damaged zstd page");
      return out;
    }
    case UNCOMPRESSED:
      return std::string(stored);
    default:
      throw ParquetError(what + ": pages compressed with " + codec_name(codec) + " are not supported (snappy, gzip, zstd are)");
  }
}

// A column's values as they come in a page or a dictionary: PLAIN.
struct Values {
  std::vector<int64_t> ints;
  std::vector<double> reals;
  std::vector<std::string> strings;
  size_t size() const { return std::max({ints.size(), reals.size(), strings.size()}); }
};

void read_plain(Cursor& in, int32_t physical, size_t count, Values& out) {
  if (physical == T_BOOLEAN) {
    const std::string_view bits = in.take((count + 7) / 8);
    for (size_t i = 0; i < count; ++i) out.ints.push_back((static_cast<uint8_t>(bits[i / 8]) >> (i % 8)) & 1);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    switch (physical) {
      case T_INT32: out.ints.push_back(in.plain<int32_t>()); break;
      case T_INT64: out.ints.push_back(in.plain<int64_t>()); break;
      case T_FLOAT: out.reals.push_back(in.plain<float>()); break;
      case T_DOUBLE: out.reals.push_back(in.plain<double>()); break;
      case T_BYTE_ARRAY: out.strings.emplace_back(in.take(in.plain<uint32_t>())); break;
    }
  }
}

int64_t zigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

// DELTA_BINARY_PACKED: a first value, then blocks of miniblocks of
// bit-packed deltas above each block's least delta.
// `count`: the values the page holds, which the run must declare.
std::vector<int64_t> read_delta_packed(Cursor& in, size_t count, const std::string& what) {
  const uint64_t block = in.varint(), miniblocks = in.varint(), total = in.varint();
  if (miniblocks == 0 || block == 0 || block % miniblocks != 0 || (block / miniblocks) % 8 != 0) {
    throw ParquetError(what + ": a damaged DELTA_BINARY_PACKED header");
  }
  if (total != count) throw ParquetError(what + ": a DELTA_BINARY_PACKED run of another length than the page");
  const uint64_t per_miniblock = block / miniblocks;
  std::vector<int64_t> out;
  out.reserve(std::min<size_t>(static_cast<size_t>(total), kReserveAtMost));
  if (total == 0) return out;
  uint64_t value = static_cast<uint64_t>(zigzag(in.varint()));
  out.push_back(static_cast<int64_t>(value));
  while (out.size() < total) {
    const uint64_t min_delta = static_cast<uint64_t>(zigzag(in.varint()));
    const std::string_view widths = in.take(static_cast<size_t>(miniblocks));
    for (uint64_t m = 0; m < miniblocks && out.size() < total; ++m) {
      const int width = static_cast<uint8_t>(widths[m]);
      if (width > 64) throw ParquetError(what + ": a delta wider than 64 bits");
      const std::string_view packed = in.take(static_cast<size_t>(per_miniblock * static_cast<uint64_t>(width) / 8));
      for (uint64_t i = 0; i < per_miniblock && out.size() < total; ++i) {
        uint64_t delta = 0;
        for (int b = 0; b < width; ++b) {
          const uint64_t bit = i * static_cast<uint64_t>(width) + static_cast<uint64_t>(b);
          delta |= static_cast<uint64_t>((static_cast<uint8_t>(packed[bit / 8]) >> (bit % 8)) & 1u) << b;
        }
        value += min_delta + delta;  // wraps as the format's arithmetic does
        out.push_back(static_cast<int64_t>(value));
      }
    }
  }
  return out;
}

std::vector<std::string> read_delta_lengths(Cursor& in, size_t count, const std::string& what) {
  const auto lengths = read_delta_packed(in, count, what);
  std::vector<std::string> out;
  for (const auto n : lengths) {
    if (n < 0) throw ParquetError(what + ": a negative string length");
    out.emplace_back(in.take(static_cast<size_t>(n)));
  }
  return out;
}

// The values of entries that hold one, in order, however the page encodes them.
void read_values(Cursor& in, int64_t encoding, int32_t physical, size_t count, const Values& dictionary, Values& out,
                 const std::string& what) {
  if (encoding == PLAIN) return read_plain(in, physical, count, out);
  if (encoding == DELTA_BINARY_PACKED && (physical == T_INT32 || physical == T_INT64)) {
    const auto values = read_delta_packed(in, count, what);
    if (values.size() != count) throw ParquetError(what + ": a DELTA_BINARY_PACKED run of another length than the page");
    for (const auto v : values) out.ints.push_back(physical == T_INT32 ? static_cast<int32_t>(v) : v);
    return;
  }
  if (encoding == DELTA_LENGTH_BYTE_ARRAY && physical == T_BYTE_ARRAY) {
    auto values = read_delta_lengths(in, count, what);
    if (values.size() != count) throw ParquetError(what + ": a DELTA_LENGTH_BYTE_ARRAY run of another length than the page");
    for (auto& v : values) out.strings.push_back(std::move(v));
    return;
  }
  if (encoding == DELTA_BYTE_ARRAY && physical == T_BYTE_ARRAY) {
    const auto prefixes = read_delta_packed(in, count, what);
    const auto suffixes = read_delta_lengths(in, count, what);
    if (prefixes.size() != count || suffixes.size() != count) throw ParquetError(what + ": a DELTA_BYTE_ARRAY run of another length than the page");
    std::string previous;
    for (size_t i = 0; i < count; ++i) {
      if (prefixes[i] < 0 || static_cast<size_t>(prefixes[i]) > previous.size()) throw ParquetError(what + ": a prefix longer than the value before");
      previous = previous.substr(0, static_cast<size_t>(prefixes[i])) + suffixes[i];
      out.strings.push_back(previous);
    }
    return;
  }
  if (encoding == BYTE_STREAM_SPLIT && physical != T_BOOLEAN && physical != T_BYTE_ARRAY) {
    // Byte k of every value together, then byte k + 1, ...
    const size_t width = physical == T_INT32 || physical == T_FLOAT ? 4 : 8;
    const std::string_view streams = in.take(width * count);
    std::string joined;
    for (size_t i = 0; i < count; ++i) {
      for (size_t k = 0; k < width; ++k) joined.push_back(streams[k * count + i]);
    }
    Cursor values(joined, what);
    return read_plain(values, physical, count, out);
  }
  if (encoding != PLAIN_DICTIONARY && encoding != RLE_DICTIONARY) {
    throw ParquetError(what + ": values encoded as " + encoding_name(encoding) + " (" + std::to_string(encoding) +
                       ") are not supported");
  }
  if (count == 0) return;
  const int width = static_cast<uint8_t>(in.take(1)[0]);
  const auto indices = read_hybrid(in, width, count, what);
  const size_t entries = dictionary.size();
  for (const auto i : indices) {
    if (i >= entries) throw ParquetError(what + ": a dictionary index past the dictionary");
    if (!dictionary.ints.empty()) out.ints.push_back(dictionary.ints[i]);
    else if (!dictionary.reals.empty()) out.reals.push_back(dictionary.reals[i]);
    else out.strings.push_back(dictionary.strings[i]);
  }
}

Physical logical_type(int32_t physical) {
  switch (physical) {
    case T_BOOLEAN: case T_INT32: case T_INT64: return Physical::INT64;
    case T_FLOAT: return Physical::FLOAT;
    case T_DOUBLE: return Physical::DOUBLE;
    default: return Physical::STRING;
  }
}

bool readable_physical(int32_t physical) {
  return physical == T_BOOLEAN || physical == T_INT32 || physical == T_INT64 || physical == T_FLOAT ||
         physical == T_DOUBLE || physical == T_BYTE_ARRAY;
}

// Each row's shape from its levels; {} when the lists are ragged.
std::vector<size_t> row_shape(const std::vector<uint8_t>& rep, const std::vector<uint8_t>& def, size_t from, size_t to,
                              const std::vector<int>& list_def) {
  const size_t depth = list_def.size();
  std::vector<size_t> starts(depth, 0);  // elements started at each level
  for (size_t i = from; i < to; ++i) {
    const int d = def.empty() ? list_def.back() : def[i];
    for (size_t k = static_cast<size_t>(std::max<int>(rep[i], 1) - 1); k < depth; ++k) {
      if (d >= list_def[k]) ++starts[k];
    }
  }
  if (starts[0] == 0) return std::vector<size_t>(depth, 0);
  std::vector<size_t> shape;
  size_t outer = 1;
  for (const size_t n : starts) {
    if (outer == 0 || n % outer) return {};
    shape.push_back(n / outer);
    outer = n;
  }
  return shape;
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

  // The schema tree in depth-first order. Each top-level field becomes a
  // column when it is a chain of single-child groups down to one leaf.
  const auto& elements = meta.at(2).list;
  if (elements.empty()) throw ParquetError("Parquet schema is empty");
  size_t i = 1;
  const int64_t top = elements[0].has(5) ? elements[0].at(5).integer : 0;
  // Leaves below element `at` (and where the next sibling starts).
  std::function<size_t(size_t&)> leaves_below = [&](size_t& at) -> size_t {
    if (at >= elements.size()) throw ParquetError("Parquet schema ends early");
    const int64_t children = elements[at].has(5) ? elements[at].at(5).integer : 0;
    ++at;
    if (children <= 0) return 1;
    if (children > 100000) throw ParquetError("Parquet schema of impossible width");
    size_t n = 0;
    for (int64_t c = 0; c < children; ++c) n += leaves_below(at);
    return n;
  };
  for (int64_t c = 0; c < top; ++c) {
    if (i >= elements.size()) throw ParquetError("Parquet schema ends early");
    ColumnSpec spec;
    spec.name = elements[i].at(4).binary;
    Layout layout;
    layout.leaf = leaves_;
    bool chain = true;
    size_t at = i;
    for (;;) {
      const ThriftValue& e = elements[at];
      const int64_t repetition = e.has(3) ? e.at(3).integer : int64_t{REQUIRED};
      if (repetition == OPTIONAL || repetition == REPEATED) ++layout.max_def;
      if (repetition == REPEATED) {
        ++layout.max_rep;
        layout.list_def.push_back(layout.max_def);
      }
      const int64_t children = e.has(5) ? e.at(5).integer : 0;
      if (children == 0) {
        layout.physical = e.has(1) ? static_cast<int32_t>(e.at(1).integer) : -1;
        break;
      }
      // Lists nest as a LIST-annotated group over a repeated group; any other
      // group (a struct, even of one field) is not a column we read.
      const bool list = (e.has(6) && e.at(6).integer == 3) || (e.has(10) && e.at(10).has(3));
      if (children != 1 || (repetition != REPEATED && !list)) {
        chain = false;
        break;
      }
      ++at;
      if (at >= elements.size()) throw ParquetError("Parquet schema ends early");
    }
    leaves_ += leaves_below(i);
    if (!chain || !readable_physical(layout.physical) || leaves_ != layout.leaf + 1) continue;  // not a column we read
    spec.type = logical_type(layout.physical);
    spec.list_depth = layout.max_rep;
    schema_.push_back(spec);
    layouts_.push_back(layout);
  }
  groups_ = meta.at(4).list;
  for (const auto& g : groups_) {
    if (g.at(1).list.size() != leaves_) throw ParquetError("row group with another number of columns");
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
  const Layout& layout = layouts_.at(column);
  const std::string what = "column " + out.spec.name;
  const ThriftValue& meta = groups_.at(group).at(1).list.at(layout.leaf).at(3);
  const int64_t codec = meta.has(4) ? meta.at(4).integer : int64_t{UNCOMPRESSED};
  const int64_t num_values = meta.at(5).integer;
  int64_t offset = meta.at(9).integer;
  if (meta.has(11) && meta.at(11).integer > 0 && meta.at(11).integer < offset) offset = meta.at(11).integer;  // the dictionary first
  if (offset < 4 || static_cast<uint64_t>(offset) >= bytes_.size()) throw ParquetError(what + ": data page outside the file");
  if (num_values < 0) throw ParquetError(what + ": a negative number of values");
  if (num_values > kMaxColumnValues) {
    throw ParquetError(what + ": declares " + std::to_string(num_values) + " values in one row group, more than this reader takes (" +
                       std::to_string(kMaxColumnValues) + ")");
  }
  const std::string_view file(bytes_);

  std::vector<uint8_t> rep, def;
  Values values, dictionary;
  size_t pos = static_cast<size_t>(offset);
  for (int64_t read = 0; read < num_values;) {
    const ThriftValue header = read_thrift_struct(file, pos);
    const int64_t type = header.at(1).integer;
    const int64_t size = header.at(3).integer;
    if (size < 0 || static_cast<uint64_t>(size) > bytes_.size() - pos) throw ParquetError(what + ": page outside the file");
    const std::string_view stored = file.substr(pos, static_cast<size_t>(size));
    pos += static_cast<size_t>(size);
    if (type == DICTIONARY_PAGE) {
      const ThriftValue& d = header.at(7);
      const int64_t count = d.at(1).integer;
      const int64_t encoding = d.has(2) ? d.at(2).integer : int64_t{PLAIN};
      if (encoding != PLAIN && encoding != PLAIN_DICTIONARY) throw ParquetError(what + ": a dictionary not stored PLAIN");
      if (count < 0 || static_cast<uint64_t>(count) > kMaxPageBytes) throw ParquetError(what + ": impossible dictionary");
      const std::string unpacked = decompress(codec, stored, header.at(2).integer, what);
      Cursor page(unpacked, what);
      dictionary = {};
      read_plain(page, layout.physical, static_cast<size_t>(count), dictionary);
      continue;
    }
    if (type != DATA_PAGE && type != DATA_PAGE_V2) throw ParquetError(what + ": page type " + std::to_string(type) + " is not supported");
    const bool v2 = type == DATA_PAGE_V2;
    const ThriftValue& data = header.at(v2 ? 8 : 5);
    const int64_t count = data.at(1).integer;
    const int64_t encoding = data.at(v2 ? 4 : 2).integer;
    if (count <= 0 || count > num_values - read) throw ParquetError(what + ": page value count does not fit");
    std::vector<uint8_t> page_rep, page_def;
    std::string unpacked;
    Cursor* values_in = nullptr;
    Cursor whole(stored, what);
    std::optional<Cursor> page;
    if (!v2) {
      unpacked = decompress(codec, stored, header.at(2).integer, what);
      page.emplace(unpacked, what);
      if (layout.max_rep > 0) page_rep = read_levels(*page, layout.max_rep, static_cast<size_t>(count), what);
      if (layout.max_def > 0) page_def = read_levels(*page, layout.max_def, static_cast<size_t>(count), what);
      values_in = &*page;
    } else {
      // Levels first, never compressed and without length prefixes; then the values.
      const int64_t rep_bytes = data.at(6).integer, def_bytes = data.at(5).integer;
      if (rep_bytes < 0 || def_bytes < 0 || rep_bytes + def_bytes > size) throw ParquetError(what + ": level lengths do not fit the page");
      Cursor reps(whole.take(static_cast<size_t>(rep_bytes)), what), defs(whole.take(static_cast<size_t>(def_bytes)), what);
      if (layout.max_rep > 0) page_rep = to_levels(read_hybrid(reps, bit_width(static_cast<uint64_t>(layout.max_rep)), static_cast<size_t>(count), what), layout.max_rep, what);
      if (layout.max_def > 0) page_def = to_levels(read_hybrid(defs, bit_width(static_cast<uint64_t>(layout.max_def)), static_cast<size_t>(count), what), layout.max_def, what);
      const bool compressed = !data.has(7) || data.at(7).integer != 0;
      const std::string_view rest = whole.rest();
      unpacked = compressed ? decompress(codec, rest, header.at(2).integer - rep_bytes - def_bytes, what) : std::string(rest);
      page.emplace(unpacked, what);
      values_in = &*page;
    }
    size_t present = 0;
    for (int64_t v = 0; v < count; ++v) present += page_def.empty() || page_def[static_cast<size_t>(v)] == layout.max_def;
    read_values(*values_in, encoding, layout.physical, present, dictionary, values, what);
    if (page_rep.empty()) page_rep.assign(static_cast<size_t>(count), 0);
    rep.insert(rep.end(), page_rep.begin(), page_rep.end());
    def.insert(def.end(), page_def.begin(), page_def.end());
    read += count;
  }

  // Entries to rows: a row starts where the repetition level is 0. An entry
  // with a value takes it; a null element or scalar takes a placeholder.
  const size_t entries = rep.size();
  const int element_def = layout.list_def.empty() ? 0 : layout.list_def.back();
  size_t next = 0;
  auto take = [&](bool has_value) {
    if (has_value) {
      if (next >= values.size()) throw ParquetError(what + ": fewer values than levels say");
      if (!values.ints.empty()) out.ints.push_back(values.ints[next]);
      else if (!values.reals.empty()) out.reals.push_back(values.reals[next]);
      else out.strings.push_back(values.strings[next]);
      ++next;
      return;
    }
    switch (out.spec.type) {
      case Physical::INT64: out.ints.push_back(0); break;
      case Physical::STRING: out.strings.emplace_back(); break;
      default: out.reals.push_back(std::numeric_limits<double>::quiet_NaN());
    }
  };
  size_t count_out = 0;
  for (size_t l = 0; l < entries; ++l) {
    const int d = def.empty() ? layout.max_def : def[l];
    if (rep[l] == 0) out.row_start.push_back(count_out);
    if (layout.max_rep == 0) {
      if (d < layout.max_def) out.null_rows.push_back(out.row_start.size() - 1);
      take(d == layout.max_def);
      ++count_out;
    } else if (d >= element_def) {  // an element of the innermost list: a value, or a null one
      take(d == layout.max_def);
      ++count_out;
    }
  }
  if (next != values.size()) throw ParquetError(what + ": more values than levels say");
  out.row_start.push_back(count_out);
  if (layout.max_rep > 0) {
    size_t level = 0;
    for (size_t r = 0; r + 1 < out.row_start.size(); ++r) {
      size_t end = level + 1;
      while (end < entries && rep[end] != 0) ++end;
      out.shapes.push_back(row_shape(rep, def, level, end, layout.list_def));
      level = end;
    }
  }
  if (static_cast<int64_t>(out.rows()) != rows(group)) throw ParquetError(what + ": rows do not match the row group");
  return out;
}

}  // namespace kit::parquet
