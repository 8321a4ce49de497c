#pragma once
// The values that travel through a capture: joint readings, camera images,
// frame records. An n-dimensional array shares its buffer, so handing a
// record or an image to another thread never copies pixels; a handed-over
// array is treated as immutable. The buffer is the array's own, or one it
// borrows from an owner it keeps alive (another language's array).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kit {

enum class DType { uint8, int32, int64, float32, float64 };

size_t dtype_size(DType dtype);

class NdArray {
 public:
  NdArray() = default;
  // A zero-filled array of this shape.
  NdArray(DType dtype, std::vector<size_t> shape);
  // Wraps bytes the caller gives up; `bytes.size()` must match the shape.
  NdArray(DType dtype, std::vector<size_t> shape, std::vector<std::byte> bytes);
  // Views the shape's bytes at `data` without copying them: every copy of
  // the array holds `owner`, which keeps them alive and unchanged until the
  // last copy is gone.
  static NdArray borrow(DType dtype, std::vector<size_t> shape, std::shared_ptr<const void> owner,
                        const std::byte* data);

  template <typename T>
  static NdArray from_vector(DType dtype, const std::vector<T>& values);

  DType dtype() const { return dtype_; }
  const std::vector<size_t>& shape() const { return shape_; }
  size_t size() const;  // element count
  size_t nbytes() const { return nbytes_; }
  const std::byte* data() const { return data_.get(); }
  // Writable only while an array of its own is being built, before it is shared.
  std::byte* mutable_data() { return data_.get(); }
  // The owner keeping the bytes alive (the array's own buffer, or a borrowed one's owner).
  const std::shared_ptr<std::byte>& buffer() const { return data_; }

  // Element i of the flattened array as a double, whatever the dtype.
  double as_double(size_t i) const;
  // Whether the bytes are borrowed (`borrow`) rather than the array's own.
  bool borrowed() const { return borrowed_; }
  // The same values in a buffer of its own.
  NdArray copy() const;
  // True when both share one buffer (no copy was made).
  bool shares_buffer_with(const NdArray& other) const { return data_ && data_ == other.data_; }

 private:
  DType dtype_ = DType::float64;
  std::vector<size_t> shape_;
  std::shared_ptr<std::byte> data_;  // points at the first byte; owns the buffer or its owner
  size_t nbytes_ = 0;
  bool borrowed_ = false;
};

class Value;
using List = std::vector<Value>;
struct None {
  bool operator==(const None&) const = default;
};

// none, bool, integer, float, text, array or list.
class Value {
 public:
  using Variant = std::variant<None, bool, int64_t, double, std::string, NdArray, List>;

  Value() = default;
  Value(None) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(int64_t{i}) {}
  Value(int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(NdArray a) : v_(std::move(a)) {}
  Value(List l) : v_(std::move(l)) {}

  bool is_none() const { return std::holds_alternative<None>(v_); }
  bool is_number() const { return std::holds_alternative<int64_t>(v_) || std::holds_alternative<double>(v_); }
  template <typename T>
  bool is() const { return std::holds_alternative<T>(v_); }
  template <typename T>
  const T& get() const { return std::get<T>(v_); }
  template <typename T>
  const T* get_if() const { return std::get_if<T>(&v_); }
  double as_double() const;  // numbers and bools; throws otherwise

  const Variant& variant() const { return v_; }

 private:
  Variant v_;
};

// Text entries in insertion order, as an observation or frame record.
class Record {
 public:
  Record() = default;
  Record(std::initializer_list<std::pair<std::string, Value>> entries);

  void set(std::string key, Value value);  // replaces in place, or appends
  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  const Value& at(std::string_view key) const;  // throws std::out_of_range

  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<std::pair<std::string, Value>> entries_;
};

template <typename T>
NdArray NdArray::from_vector(DType dtype, const std::vector<T>& values) {
  if (sizeof(T) != dtype_size(dtype)) throw std::invalid_argument("element size does not match dtype");
  std::vector<std::byte> bytes(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return NdArray(dtype, {values.size()}, std::move(bytes));
}

}  // namespace kit
