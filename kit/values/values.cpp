#include "kit/values/values.hpp"

#include <cstring>
#include <numeric>

namespace kit {

size_t dtype_size(DType dtype) {
  switch (dtype) {
    case DType::uint8: return 1;
    case DType::int32: return 4;
    case DType::float32: return 4;
    case DType::int64: return 8;
    case DType::float64: return 8;
  }
  return 1;
}

namespace {
size_t element_count(const std::vector<size_t>& shape) {
  return std::accumulate(shape.begin(), shape.end(), size_t{1}, std::multiplies<>());
}
}  // namespace

namespace {
// A shared pointer to a vector's first byte that owns the vector.
std::shared_ptr<std::byte> own(std::vector<std::byte> bytes) {
  auto vector = std::make_shared<std::vector<std::byte>>(std::move(bytes));
  return std::shared_ptr<std::byte>(vector, vector->data());
}
}  // namespace

NdArray::NdArray(DType dtype, std::vector<size_t> shape)
    : NdArray(dtype, shape, std::vector<std::byte>(element_count(shape) * dtype_size(dtype))) {}

NdArray::NdArray(DType dtype, std::vector<size_t> shape, std::vector<std::byte> bytes)
    : dtype_(dtype), shape_(std::move(shape)) {
  if (bytes.size() != element_count(shape_) * dtype_size(dtype)) {
    throw std::invalid_argument("array bytes do not match its shape");
  }
  nbytes_ = bytes.size();
  data_ = own(std::move(bytes));
}

NdArray NdArray::borrow(DType dtype, std::vector<size_t> shape, std::shared_ptr<const void> owner,
                        const std::byte* data) {
  if (!owner || (!data && element_count(shape) > 0)) throw std::invalid_argument("a borrowed array needs its owner and bytes");
  NdArray array;
  array.dtype_ = dtype;
  array.shape_ = std::move(shape);
  array.nbytes_ = element_count(array.shape_) * dtype_size(dtype);
  // Aliasing: the pointer is the bytes, the ownership is the owner's.
  array.data_ = std::shared_ptr<std::byte>(std::const_pointer_cast<void>(std::move(owner)), const_cast<std::byte*>(data));
  array.borrowed_ = true;
  return array;
}

NdArray NdArray::copy() const {
  if (!data_) return NdArray(dtype_, shape_);
  return NdArray(dtype_, shape_, std::vector<std::byte>(data_.get(), data_.get() + nbytes_));
}

size_t NdArray::size() const { return data_ ? element_count(shape_) : 0; }

double NdArray::as_double(size_t i) const {
  if (i >= size()) throw std::out_of_range("array index out of range");
  const std::byte* p = data() + i * dtype_size(dtype_);
  auto load = [p]<typename T>(T) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
  };
  switch (dtype_) {
    case DType::uint8: return load(uint8_t{});
    case DType::int32: return load(int32_t{});
    case DType::int64: return load(int64_t{});
    case DType::float32: return load(float{});
    case DType::float64: return load(double{});
  }
  return 0;
}

double Value::as_double() const {
  if (auto d = get_if<double>()) return *d;
  if (auto i = get_if<int64_t>()) return static_cast<double>(*i);
  if (auto b = get_if<bool>()) return *b ? 1.0 : 0.0;
  throw std::invalid_argument("value is not a number");
}

Record::Record(std::initializer_list<std::pair<std::string, Value>> entries) {
  for (const auto& [k, v] : entries) set(k, v);
}

void Record::set(std::string key, Value value) {
  for (auto& [k, v] : entries_) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const Value* Record::find(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return &v;
  }
  return nullptr;
}

const Value& Record::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw std::out_of_range("no entry '" + std::string(key) + "'");
}

}  // namespace kit
