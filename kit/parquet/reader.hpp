#pragma once
// Reads the Parquet files the writer makes (and others within the same
// subset): required columns of INT32, INT64, FLOAT, DOUBLE and byte arrays,
// lists nested as the writer nests them, PLAIN values, RLE/bit-packed
// levels, uncompressed data pages. Anything else is refused with a
// ParquetError saying what. The file is held in memory.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kit/parquet/thrift_reader.hpp"
#include "kit/parquet/writer.hpp"

namespace kit::parquet {

// One column of one row group. Values are flat, in row order; row r's
// values are [row_start[r], row_start[r + 1]). Floats are widened to double
// (exactly); strings and byte arrays go to `strings`.
struct ColumnValues {
  ColumnSpec spec;
  std::vector<int64_t> ints;
  std::vector<double> reals;
  std::vector<std::string> strings;
  std::vector<size_t> row_start;
  std::vector<std::vector<size_t>> shapes;  // lists: each row's shape ({} when ragged)

  size_t rows() const { return row_start.empty() ? 0 : row_start.size() - 1; }
};

class Reader {
 public:
  explicit Reader(std::string bytes);  // throws ParquetError

  const std::vector<ColumnSpec>& schema() const { return schema_; }
  const std::vector<std::pair<std::string, std::string>>& key_values() const { return key_values_; }
  size_t row_groups() const { return groups_.size(); }
  int64_t rows(size_t group) const;
  int64_t total_rows() const;

  ColumnValues column(size_t group, size_t column) const;
  ColumnValues column(size_t group, const std::string& name) const;

 private:
  std::string bytes_;
  std::vector<ColumnSpec> schema_;
  std::vector<std::pair<std::string, std::string>> key_values_;
  std::vector<ThriftValue> groups_;  // RowGroup structs
  std::vector<int32_t> physical_;    // per column, the file's physical type
};

}  // namespace kit::parquet
