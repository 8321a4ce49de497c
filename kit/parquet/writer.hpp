#pragma once
// A small Parquet writer: required columns of INT64, FLOAT, DOUBLE and UTF-8
// strings, and lists of them nested to any depth (regular shapes such as
// [6] or [3,1,1], or lists of varying length). PLAIN values, RLE levels,
// one data page per column and row group, pages uncompressed or snappy;
// key/value metadata in the footer. The whole file is built in memory.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kit::parquet {

enum class Physical { INT64, FLOAT, DOUBLE, STRING };
enum class Compression { none, snappy };

struct ColumnSpec {
  std::string name;
  Physical type;
  int list_depth = 0;  // 0: one value per row; 1: list<T>; 3: list<list<list<T>>>
};

class Writer {
 public:
  explicit Writer(std::vector<ColumnSpec> schema, std::vector<std::pair<std::string, std::string>> key_values = {},
                  Compression compression = Compression::none);

  // One row: call each column's add once (in any order), then end_row().
  void add(size_t column, int64_t value);
  void add(size_t column, float value);
  void add(size_t column, double value);
  void add(size_t column, std::string_view value);
  // A list row of `shape` (row-major values); shape {} means {values.size()}.
  void add_list(size_t column, std::span<const int64_t> values, std::vector<size_t> shape = {});
  void add_list(size_t column, std::span<const float> values, std::vector<size_t> shape = {});
  void add_list(size_t column, std::span<const double> values, std::vector<size_t> shape = {});
  void add_list(size_t column, std::span<const std::string> values, std::vector<size_t> shape = {});
  void end_row();

  // Closes the rows added since the last row group as one row group.
  void end_row_group();
  // The file's bytes; ends an open row group first.
  std::string finish();

  size_t rows_in_group() const { return group_rows_; }
  // Bytes and rows of the row groups closed so far (the footer not counted).
  size_t bytes() const { return body_.size(); }
  size_t rows() const { return rows_; }

 private:
  struct Chunk {
    std::string values;  // PLAIN
    std::vector<uint8_t> rep, def;
    size_t rows = 0;
  };
  struct ChunkMeta {
    int64_t offset, size, uncompressed_size, num_values;
  };
  void check(size_t column, Physical type, int depth) const;
  void levels(size_t column, const std::vector<size_t>& shape, size_t count);
  template <typename T>
  void put_plain(Chunk& chunk, T value);

  std::vector<ColumnSpec> schema_;
  std::vector<std::pair<std::string, std::string>> key_values_;
  Compression compression_;
  std::vector<Chunk> chunks_;
  std::string body_{"PAR1"};
  std::vector<std::vector<ChunkMeta>> groups_;  // per row group, per column
  std::vector<size_t> group_row_counts_;
  size_t group_rows_ = 0;
  size_t rows_ = 0;
  bool finished_ = false;
};

}  // namespace kit::parquet
