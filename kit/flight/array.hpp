#pragma once
// The slice of Apache Arrow's columnar model we need: float64, bool, utf8,
// binary and list<T> arrays with validity, schemas and record batches. Names
// follow Arrow C++ so callers can move to it unchanged.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kit::flight {

struct ArrowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class TypeId { FLOAT64, BOOL, STRING, BINARY, LIST };

struct DataType {
  TypeId id;
  std::shared_ptr<const DataType> value_type;  // lists only
  std::string ToString() const;                // "double", "list<item: double>"
  bool Equals(const DataType& other) const;
};
using DataTypePtr = std::shared_ptr<const DataType>;

DataTypePtr float64();
DataTypePtr boolean();
DataTypePtr utf8();
DataTypePtr binary();
DataTypePtr list(DataTypePtr value_type);

struct Field {
  std::string name;
  DataTypePtr type;
  bool nullable = true;
};

class Schema {
 public:
  explicit Schema(std::vector<Field> fields) : fields_(std::move(fields)) {}
  const std::vector<Field>& fields() const { return fields_; }
  int num_fields() const { return static_cast<int>(fields_.size()); }
  const Field& field(int i) const { return fields_.at(static_cast<size_t>(i)); }
  int GetFieldIndex(std::string_view name) const;  // -1 when absent
  std::vector<std::string> field_names() const;
  std::string ToString() const;

 private:
  std::vector<Field> fields_;
};

// One column's data. Offsets always start at 0.
struct Array {
  DataTypePtr type;
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<uint8_t> validity;  // LSB-first bits, 1 = valid; empty when null_count == 0
  std::vector<int32_t> offsets;   // STRING, BINARY, LIST: length + 1 entries
  std::vector<uint8_t> values;    // FLOAT64: 8 bytes a slot; BOOL: bits; STRING/BINARY: bytes
  std::shared_ptr<const Array> child;  // LIST: the flattened elements

  bool IsValid(int64_t i) const;
  double GetDouble(int64_t i) const;        // FLOAT64
  bool GetBool(int64_t i) const;            // BOOL
  std::string_view GetView(int64_t i) const;  // STRING, BINARY
  std::vector<double> GetDoubleList(int64_t i) const;  // LIST of FLOAT64
};
using ArrayPtr = std::shared_ptr<const Array>;

ArrayPtr MakeFloat64Array(const std::vector<std::optional<double>>& values);
ArrayPtr MakeBoolArray(const std::vector<std::optional<bool>>& values);
ArrayPtr MakeStringArray(const std::vector<std::optional<std::string>>& values);
ArrayPtr MakeBinaryArray(const std::vector<std::optional<std::string>>& values);
ArrayPtr MakeFloat64ListArray(const std::vector<std::optional<std::vector<double>>>& values);
// Checks the buffers against type and length; throws ArrowError.
void ValidateArray(const Array& array);

class RecordBatch {
 public:
  // Throws ArrowError when a column's type or length does not fit.
  static std::shared_ptr<RecordBatch> Make(std::shared_ptr<const Schema> schema, int64_t num_rows,
                                           std::vector<ArrayPtr> columns);
  // Columns named in order; all nullable; num_rows from the first column.
  static std::shared_ptr<RecordBatch> FromNamedArrays(std::vector<std::pair<std::string, ArrayPtr>> columns);

  const std::shared_ptr<const Schema>& schema() const { return schema_; }
  int64_t num_rows() const { return num_rows_; }
  int num_columns() const { return static_cast<int>(columns_.size()); }
  const ArrayPtr& column(int i) const { return columns_.at(static_cast<size_t>(i)); }
  const std::string& column_name(int i) const { return schema_->field(i).name; }
  ArrayPtr GetColumnByName(std::string_view name) const;  // null when absent

 private:
  RecordBatch(std::shared_ptr<const Schema> schema, int64_t num_rows, std::vector<ArrayPtr> columns)
      : schema_(std::move(schema)), num_rows_(num_rows), columns_(std::move(columns)) {}
  std::shared_ptr<const Schema> schema_;
  int64_t num_rows_;
  std::vector<ArrayPtr> columns_;
};

}  // namespace kit::flight
