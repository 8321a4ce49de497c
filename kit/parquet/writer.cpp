#include "kit/parquet/writer.hpp"

#include <cstring>
#include <numeric>
#include <stdexcept>

#include <snappy.h>

#include "kit/parquet/format_codes.hpp"
#include "kit/parquet/thrift_compact.hpp"

namespace kit::parquet {
namespace {

using namespace codes;

int32_t physical(Physical p) {
  switch (p) {
    case Physical::INT64: return T_INT64;
    case Physical::FLOAT: return T_FLOAT;
    case Physical::DOUBLE: return T_DOUBLE;
    case Physical::STRING: return T_BYTE_ARRAY;
  }
  return T_BYTE_ARRAY;
}

int bit_width(int max_level) {
  int bits = 0;
  while (max_level >> bits) ++bits;
  return bits;
}

// The RLE/bit-packed hybrid with runs only, behind a 4-byte length.
void put_levels(std::string& out, const std::vector<uint8_t>& levels, int max_level) {
  const int width = bit_width(max_level);
  const size_t value_bytes = static_cast<size_t>((width + 7) / 8);
  std::string runs;
  for (size_t i = 0; i < levels.size();) {
    size_t j = i;
    while (j < levels.size() && levels[j] == levels[i]) ++j;
    uint64_t header = static_cast<uint64_t>(j - i) << 1;
    while (header >= 0x80) {
      runs.push_back(static_cast<char>((header & 0x7F) | 0x80));
      header >>= 7;
    }
    runs.push_back(static_cast<char>(header));
    for (size_t b = 0; b < value_bytes; ++b) runs.push_back(static_cast<char>(b == 0 ? levels[i] : 0));
    i = j;
  }
  const auto n = static_cast<uint32_t>(runs.size());
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(n >> (8 * b)));
  out += runs;
}

// Schema elements of one column: the list groups, then the leaf.
void write_schema(CompactWriter& w, const ColumnSpec& c) {
  auto group = [&](const std::string& name, int32_t repetition, bool list) {
    w.begin_element_struct();
    w.field_i32(3, repetition);
    w.field_binary(4, name);
    w.field_i32(5, 1);
    if (list) {
      w.field_i32(6, CONVERTED_LIST);
      w.begin_struct(10);
      w.begin_struct(3);  // LogicalType.LIST
      w.end_struct();
      w.end_struct();
    }
    w.end_element_struct();
  };
  std::string name = c.name;
  for (int d = 0; d < c.list_depth; ++d) {
    group(name, REQUIRED, true);
    group("list", REPEATED, false);
    name = "element";
  }
  w.begin_element_struct();
  w.field_i32(1, physical(c.type));
  w.field_i32(3, REQUIRED);
  w.field_binary(4, name);
  if (c.type == Physical::STRING) {
    w.field_i32(6, CONVERTED_UTF8);
    w.begin_struct(10);
    w.begin_struct(1);  // LogicalType.STRING
    w.end_struct();
    w.end_struct();
  }
  w.end_element_struct();
}

size_t schema_elements(const ColumnSpec& c) { return 1 + 2 * static_cast<size_t>(c.list_depth); }

std::vector<std::string> path_of(const ColumnSpec& c) {
  std::vector<std::string> path{c.name};
  for (int d = 0; d < c.list_depth; ++d) {
    path.push_back("list");
    path.push_back("element");
  }
  return path;
}

}  // namespace

Writer::Writer(std::vector<ColumnSpec> schema, std::vector<std::pair<std::string, std::string>> key_values,
               Compression compression)
    : schema_(std::move(schema)), key_values_(std::move(key_values)), compression_(compression), chunks_(schema_.size()) {
  for (const auto& c : schema_) {
    if (c.list_depth < 0 || c.list_depth > 7) throw std::invalid_argument("column " + c.name + ": unsupported nesting");
  }
}

void Writer::check(size_t column, Physical type, int depth) const {
  if (finished_) throw std::logic_error("the Parquet file is finished");
  if (column >= schema_.size()) throw std::out_of_range("no column " + std::to_string(column));
  const ColumnSpec& c = schema_[column];
  if (c.type != type || (depth == 0) != (c.list_depth == 0)) {
    throw std::invalid_argument("column " + c.name + " does not take this kind of value");
  }
  if (chunks_[column].rows != group_rows_) throw std::logic_error("column " + c.name + " got two values in one row");
}

template <typename T>
void Writer::put_plain(Chunk& chunk, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // Parquet is little-endian, as this machine
  chunk.values.append(bytes, sizeof(T));
}

void Writer::add(size_t column, int64_t value) {
  check(column, Physical::INT64, 0);
  put_plain(chunks_[column], value);
  ++chunks_[column].rows;
}
void Writer::add(size_t column, float value) {
  check(column, Physical::FLOAT, 0);
  put_plain(chunks_[column], value);
  ++chunks_[column].rows;
}
void Writer::add(size_t column, double value) {
  check(column, Physical::DOUBLE, 0);
  put_plain(chunks_[column], value);
  ++chunks_[column].rows;
}
void Writer::add(size_t column, std::string_view value) {
  check(column, Physical::STRING, 0);
  put_plain(chunks_[column], static_cast<uint32_t>(value.size()));
  chunks_[column].values.append(value);
  ++chunks_[column].rows;
}

// Repetition and definition levels of one list row of a regular shape.
void Writer::levels(size_t column, const std::vector<size_t>& shape, size_t count) {
  Chunk& chunk = chunks_[column];
  const int depth = schema_[column].list_depth;
  if (static_cast<int>(shape.size()) != depth) {
    throw std::invalid_argument("column " + schema_[column].name + " needs a shape of " + std::to_string(depth) + " dimensions");
  }
  const size_t total = std::accumulate(shape.begin(), shape.end(), size_t{1}, std::multiplies<>());
  if (total != count) throw std::invalid_argument("column " + schema_[column].name + ": shape and values disagree");
  if (count == 0) {
    chunk.rep.push_back(0);
    chunk.def.push_back(0);
  }
  for (size_t i = 0; i < count; ++i) {
    uint8_t rep = 0;
    if (i > 0) {
      // The outermost dimension whose index changed from the previous element.
      size_t stride = total, previous = i - 1, current = i;
      for (int d = 0; d < depth; ++d) {
        stride /= shape[static_cast<size_t>(d)];
        if (previous / stride != current / stride) {
          rep = static_cast<uint8_t>(d + 1);
          break;
        }
        previous %= stride;
        current %= stride;
      }
    }
    chunk.rep.push_back(rep);
    chunk.def.push_back(static_cast<uint8_t>(depth));
  }
  ++chunk.rows;
}

void Writer::add_list(size_t column, std::span<const int64_t> values, std::vector<size_t> shape) {
  check(column, Physical::INT64, 1);
  levels(column, shape.empty() ? std::vector<size_t>{values.size()} : shape, values.size());
  for (const auto v : values) put_plain(chunks_[column], v);
}
void Writer::add_list(size_t column, std::span<const float> values, std::vector<size_t> shape) {
  check(column, Physical::FLOAT, 1);
  levels(column, shape.empty() ? std::vector<size_t>{values.size()} : shape, values.size());
  for (const auto v : values) put_plain(chunks_[column], v);
}
void Writer::add_list(size_t column, std::span<const double> values, std::vector<size_t> shape) {
  check(column, Physical::DOUBLE, 1);
  levels(column, shape.empty() ? std::vector<size_t>{values.size()} : shape, values.size());
  for (const auto v : values) put_plain(chunks_[column], v);
}
void Writer::add_list(size_t column, std::span<const std::string> values, std::vector<size_t> shape) {
  check(column, Physical::STRING, 1);
  levels(column, shape.empty() ? std::vector<size_t>{values.size()} : shape, values.size());
  for (const auto& v : values) {
    put_plain(chunks_[column], static_cast<uint32_t>(v.size()));
    chunks_[column].values.append(v);
  }
}

void Writer::end_row() {
  for (size_t c = 0; c < schema_.size(); ++c) {
    if (chunks_[c].rows != group_rows_ + 1) throw std::logic_error("row without a value for column " + schema_[c].name);
  }
  ++group_rows_;
}

void Writer::end_row_group() {
  if (group_rows_ == 0) return;
  std::vector<ChunkMeta> metas;
  for (size_t c = 0; c < schema_.size(); ++c) {
    Chunk& chunk = chunks_[c];
    const int depth = schema_[c].list_depth;
    std::string page;
    if (depth > 0) {
      put_levels(page, chunk.rep, depth);
      put_levels(page, chunk.def, depth);
    }
    page += chunk.values;
    const int64_t num_values = depth > 0 ? static_cast<int64_t>(chunk.rep.size()) : static_cast<int64_t>(chunk.rows);
    const size_t uncompressed = page.size();
    if (compression_ == Compression::snappy) {
      std::string packed;
      snappy::Compress(page.data(), page.size(), &packed);
      page = std::move(packed);
    }
    CompactWriter header;
    header.field_i32(1, 0);  // DATA_PAGE
    header.field_i32(2, static_cast<int32_t>(uncompressed));
    header.field_i32(3, static_cast<int32_t>(page.size()));
    header.begin_struct(5);
    header.field_i32(1, static_cast<int32_t>(num_values));
    header.field_i32(2, PLAIN);
    header.field_i32(3, RLE);
    header.field_i32(4, RLE);
    header.end_struct();
    header.end_message();
    const int64_t offset = static_cast<int64_t>(body_.size());
    const std::string& bytes = header.bytes();
    body_ += bytes + page;
    metas.push_back({offset, static_cast<int64_t>(bytes.size() + page.size()), static_cast<int64_t>(bytes.size() + uncompressed),
                     num_values});
    chunk = Chunk{};
  }
  groups_.push_back(std::move(metas));
  group_row_counts_.push_back(group_rows_);
  rows_ += group_rows_;
  group_rows_ = 0;
}

std::string Writer::finish() {
  end_row_group();
  finished_ = true;
  CompactWriter meta;
  meta.field_i32(1, 1);  // version
  size_t elements = 1;
  for (const auto& c : schema_) elements += schema_elements(c);
  meta.begin_list(2, CompactWriter::STRUCT, elements);
  meta.begin_element_struct();
  meta.field_binary(4, "schema");
  meta.field_i32(5, static_cast<int32_t>(schema_.size()));
  meta.end_element_struct();
  for (const auto& c : schema_) write_schema(meta, c);
  int64_t total_rows = 0;
  for (const auto n : group_row_counts_) total_rows += static_cast<int64_t>(n);
  meta.field_i64(3, total_rows);
  meta.begin_list(4, CompactWriter::STRUCT, groups_.size());
  for (size_t g = 0; g < groups_.size(); ++g) {
    meta.begin_element_struct();
    meta.begin_list(1, CompactWriter::STRUCT, schema_.size());
    int64_t group_bytes = 0;
    for (size_t c = 0; c < schema_.size(); ++c) {
      const ChunkMeta& m = groups_[g][c];
      group_bytes += m.size;
      meta.begin_element_struct();
      meta.field_i64(2, m.offset);
      meta.begin_struct(3);
      meta.field_i32(1, physical(schema_[c].type));
      meta.begin_list(2, CompactWriter::I32, 2);
      meta.element_i32(PLAIN);
      meta.element_i32(RLE);
      const auto path = path_of(schema_[c]);
      meta.begin_list(3, CompactWriter::BINARY, path.size());
      for (const auto& p : path) meta.element_binary(p);
      meta.field_i32(4, compression_ == Compression::snappy ? SNAPPY : UNCOMPRESSED);
      meta.field_i64(5, m.num_values);
      meta.field_i64(6, m.uncompressed_size);
      meta.field_i64(7, m.size);
      meta.field_i64(9, m.offset);
      meta.end_struct();
      meta.end_element_struct();
    }
    meta.field_i64(2, group_bytes);
    meta.field_i64(3, static_cast<int64_t>(group_row_counts_[g]));
    meta.end_element_struct();
  }
  if (!key_values_.empty()) {
    meta.begin_list(5, CompactWriter::STRUCT, key_values_.size());
    for (const auto& [k, v] : key_values_) {
      meta.begin_element_struct();
      meta.field_binary(1, k);
      meta.field_binary(2, v);
      meta.end_element_struct();
    }
  }
  meta.field_binary(6, "tessaline parquet writer");
  meta.end_message();
  const std::string& footer = meta.bytes();
  std::string out = std::move(body_);
  out += footer;
  const auto n = static_cast<uint32_t>(footer.size());
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(n >> (8 * b)));
  out += "PAR1";
  return out;
}

}  // namespace kit::parquet
