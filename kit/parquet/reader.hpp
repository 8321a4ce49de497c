#pragma once
// Reads Parquet files as the field's writers make them (pyarrow, DuckDB and
// our own writer): REQUIRED and OPTIONAL columns of INT32, INT64, BOOLEAN,
// FLOAT, DOUBLE and byte arrays, lists nested to any depth (three-level,
// two-level or bare repeated fields), data pages v1 and v2, PLAIN and
// dictionary-encoded values (PLAIN_DICTIONARY, RLE_DICTIONARY), RLE /
// bit-packed levels, and pages uncompressed or compressed with snappy, gzip
// or zstd. A column of another kind (a struct, INT96, a fixed-length byte
// array) is left out of the schema; an encoding or codec outside these is
// refused with a ParquetError saying which. The file is held in memory.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kit/parquet/thrift_reader.hpp"
#include "kit/parquet/writer.hpp"

namespace kit::parquet {

// One column of one row group. Values are flat, in row order; row r's
// values are [row_start[r], row_start[r + 1]). Integers and booleans go to
// `ints`, floats widened to double (exactly) to `reals`, strings and byte
// arrays to `strings`. A null scalar takes one placeholder value (0, NaN,
// "") and its row is listed in `null_rows`; a null list is an empty row.
struct ColumnValues {
  ColumnSpec spec;
  std::vector<int64_t> ints;
  std::vector<double> reals;
  std::vector<std::string> strings;
  std::vector<size_t> row_start;
  std::vector<std::vector<size_t>> shapes;  // lists: each row's shape ({} when ragged)
  std::vector<size_t> null_rows;

  size_t rows() const { return row_start.empty() ? 0 : row_start.size() - 1; }
};

class Reader {
 public:
  explicit Reader(std::string bytes);  // throws ParquetError

  // The columns this reader can read, in the file's order.
  const std::vector<ColumnSpec>& schema() const { return schema_; }
  const std::vector<std::pair<std::string, std::string>>& key_values() const { return key_values_; }
  size_t row_groups() const { return groups_.size(); }
  int64_t rows(size_t group) const;
  int64_t total_rows() const;

  ColumnValues column(size_t group, size_t column) const;
  ColumnValues column(size_t group, const std::string& name) const;

  // How a column sits in the file: its leaf's physical type and levels.
  struct Layout {
    int32_t physical = 0;
    size_t leaf = 0;             // index of its column chunk in a row group
    int max_def = 0, max_rep = 0;
    std::vector<int> list_def;   // per list level: the definition level its elements have
  };

 private:
  std::string bytes_;
  std::vector<ColumnSpec> schema_;
  std::vector<Layout> layouts_;
  std::vector<std::pair<std::string, std::string>> key_values_;
  std::vector<ThriftValue> groups_;  // RowGroup structs
  size_t leaves_ = 0;
};

}  // namespace kit::parquet
