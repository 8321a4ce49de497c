#include "kit/flight/array.hpp"

#include <cstring>

namespace kit::flight {

std::string DataType::ToString() const {
  switch (id) {
    case TypeId::FLOAT64: return "double";
    case TypeId::BOOL: return "bool";
    case TypeId::STRING: return "string";
    case TypeId::BINARY: return "binary";
    case TypeId::LIST: return "list<item: " + value_type->ToString() + ">";
  }
  return "?";
}

bool DataType::Equals(const DataType& other) const {
  if (id != other.id) return false;
  if (id != TypeId::LIST) return true;
  return value_type && other.value_type && value_type->Equals(*other.value_type);
}

DataTypePtr float64() {
  static const auto t = std::make_shared<const DataType>(DataType{TypeId::FLOAT64, nullptr});
  return t;
}
DataTypePtr boolean() {
  static const auto t = std::make_shared<const DataType>(DataType{TypeId::BOOL, nullptr});
  return t;
}
DataTypePtr utf8() {
  static const auto t = std::make_shared<const DataType>(DataType{TypeId::STRING, nullptr});
  return t;
}
DataTypePtr binary() {
  static const auto t = std::make_shared<const DataType>(DataType{TypeId::BINARY, nullptr});
  return t;
}
DataTypePtr list(DataTypePtr value_type) {
  return std::make_shared<const DataType>(DataType{TypeId::LIST, std::move(value_type)});
}

int Schema::GetFieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<std::string> Schema::field_names() const {
  std::vector<std::string> names;
  for (const auto& f : fields_) names.push_back(f.name);
  return names;
}

std::string Schema::ToString() const {
  std::string out;
  for (const auto& f : fields_) {
    if (!out.empty()) out += '\n';
    out += f.name + ": " + f.type->ToString();
    if (!f.nullable) out += " not null";
  }
  return out;
}

bool Array::IsValid(int64_t i) const {
  if (null_count == 0) return true;
  return (validity[static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
}

double Array::GetDouble(int64_t i) const {
  double v;
  std::memcpy(&v, values.data() + i * 8, sizeof v);
  return v;
}

bool Array::GetBool(int64_t i) const { return (values[static_cast<size_t>(i / 8)] >> (i % 8)) & 1; }

std::string_view Array::GetView(int64_t i) const {
  const auto begin = static_cast<size_t>(offsets[static_cast<size_t>(i)]);
  const auto end = static_cast<size_t>(offsets[static_cast<size_t>(i) + 1]);
  return {reinterpret_cast<const char*>(values.data()) + begin, end - begin};
}

std::vector<double> Array::GetDoubleList(int64_t i) const {
  std::vector<double> out;
  for (int32_t k = offsets[static_cast<size_t>(i)]; k < offsets[static_cast<size_t>(i) + 1]; ++k) {
    out.push_back(child->GetDouble(k));
  }
  return out;
}

namespace {

template <typename T>
std::shared_ptr<Array> start_array(DataTypePtr type, const std::vector<std::optional<T>>& values) {
  auto a = std::make_shared<Array>();
  a->type = std::move(type);
  a->length = static_cast<int64_t>(values.size());
  for (const auto& v : values) a->null_count += v ? 0 : 1;
  if (a->null_count > 0) {
    a->validity.assign((values.size() + 7) / 8, 0);
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i]) a->validity[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
  }
  return a;
}

std::shared_ptr<Array> bytes_array(DataTypePtr type, const std::vector<std::optional<std::string>>& values) {
  auto a = start_array(std::move(type), values);
  a->offsets.push_back(0);
  for (const auto& v : values) {
    if (v) a->values.insert(a->values.end(), v->begin(), v->end());
    if (a->values.size() > INT32_MAX) throw ArrowError("binary array larger than 2 GiB");
    a->offsets.push_back(static_cast<int32_t>(a->values.size()));
  }
  return a;
}

}  // namespace

ArrayPtr MakeFloat64Array(const std::vector<std::optional<double>>& values) {
  auto a = start_array(float64(), values);
  a->values.resize(values.size() * 8);
  for (size_t i = 0; i < values.size(); ++i) {
    const double v = values[i].value_or(0.0);
    std::memcpy(a->values.data() + i * 8, &v, 8);
  }
  return a;
}

ArrayPtr MakeBoolArray(const std::vector<std::optional<bool>>& values) {
  auto a = start_array(boolean(), values);
  a->values.assign((values.size() + 7) / 8, 0);
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].value_or(false)) a->values[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return a;
}

ArrayPtr MakeStringArray(const std::vector<std::optional<std::string>>& values) {
  return bytes_array(utf8(), values);
}

ArrayPtr MakeBinaryArray(const std::vector<std::optional<std::string>>& values) {
  return bytes_array(binary(), values);
}

ArrayPtr MakeFloat64ListArray(const std::vector<std::optional<std::vector<double>>>& values) {
  auto a = start_array(list(float64()), values);
  std::vector<std::optional<double>> items;
  a->offsets.push_back(0);
  for (const auto& v : values) {
    if (v) items.insert(items.end(), v->begin(), v->end());
    a->offsets.push_back(static_cast<int32_t>(items.size()));
  }
  a->child = MakeFloat64Array(items);
  return a;
}

void ValidateArray(const Array& a) {
  const auto n = static_cast<size_t>(a.length);
  if (a.length < 0 || a.null_count < 0 || a.null_count > a.length) throw ArrowError("invalid array length");
  if (a.null_count > 0 && a.validity.size() < (n + 7) / 8) throw ArrowError("validity bitmap too small");
  switch (a.type->id) {
    case TypeId::FLOAT64:
      if (a.values.size() < n * 8) throw ArrowError("float64 values buffer too small");
      return;
    case TypeId::BOOL:
      if (a.values.size() < (n + 7) / 8) throw ArrowError("bool values buffer too small");
      return;
    case TypeId::STRING:
    case TypeId::BINARY:
    case TypeId::LIST: {
      if (a.offsets.size() != n + 1 || a.offsets[0] != 0) throw ArrowError("invalid offsets buffer");
      for (size_t i = 0; i < n; ++i) {
        if (a.offsets[i + 1] < a.offsets[i]) throw ArrowError("offsets are not non-decreasing");
      }
      const auto last = static_cast<size_t>(a.offsets[n]);
      if (a.type->id == TypeId::LIST) {
        if (!a.child || !a.child->type->Equals(*a.type->value_type)) throw ArrowError("list child type mismatch");
        if (static_cast<size_t>(a.child->length) < last) throw ArrowError("list offsets beyond child");
        ValidateArray(*a.child);
      } else if (a.values.size() < last) {
        throw ArrowError("offsets beyond data buffer");
      }
      return;
    }
  }
}

std::shared_ptr<RecordBatch> RecordBatch::Make(std::shared_ptr<const Schema> schema, int64_t num_rows,
                                               std::vector<ArrayPtr> columns) {
  if (static_cast<int>(columns.size()) != schema->num_fields()) throw ArrowError("column count does not match schema");
  for (size_t i = 0; i < columns.size(); ++i) {
    const auto& field = schema->fields()[i];
    if (!columns[i] || !columns[i]->type->Equals(*field.type)) {
      throw ArrowError("column '" + field.name + "' does not match its field type " + field.type->ToString());
    }
    if (columns[i]->length != num_rows) throw ArrowError("Array length did not match record batch length");
  }
  return std::shared_ptr<RecordBatch>(new RecordBatch(std::move(schema), num_rows, std::move(columns)));
}

std::shared_ptr<RecordBatch> RecordBatch::FromNamedArrays(std::vector<std::pair<std::string, ArrayPtr>> columns) {
  std::vector<Field> fields;
  std::vector<ArrayPtr> arrays;
  for (auto& [name, array] : columns) {
    fields.push_back({name, array->type, true});
    arrays.push_back(std::move(array));
  }
  const int64_t rows = arrays.empty() ? 0 : arrays.front()->length;
  return Make(std::make_shared<const Schema>(std::move(fields)), rows, std::move(arrays));
}

ArrayPtr RecordBatch::GetColumnByName(std::string_view name) const {
  const int i = schema_->GetFieldIndex(name);
  return i < 0 ? nullptr : columns_[static_cast<size_t>(i)];
}

}  // namespace kit::flight
