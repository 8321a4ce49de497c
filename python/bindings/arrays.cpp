#include "python/bindings/arrays.hpp"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tessaline::python {
namespace {

constexpr const char* kImagePrefix = "observation.images.";
constexpr int kWriteable = py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
constexpr int kCContiguous = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_;

// The arrays out on loan, with the GIL held: how many loans each has, and
// whether it was made read-only for them.
struct Loans {
  int count = 0;
  bool made_read_only = false;
};
std::unordered_map<PyObject*, Loans>& out_on_loan() {
  static auto* arrays = new std::unordered_map<PyObject*, Loans>;  // as long-lived as the interpreter
  return *arrays;
}

// Loans ended on any thread, waiting for the GIL.
std::mutex ended_mutex;
std::vector<PyObject*> ended;    // guarded by ended_mutex
bool ending_scheduled = false;   // guarded by ended_mutex

int end_loans_now(void*) {
  return_loans();
  return 0;
}

// The last copy of a lent array inside the library is gone, on whichever
// thread: the array goes back through the main thread.
void loan_ended(PyObject* array) {
  if (!Py_IsInitialized() || _Py_IsFinalizing()) return;  // nothing left to give it back to
  std::lock_guard lock(ended_mutex);
  ended.push_back(array);
  if (!ending_scheduled && Py_AddPendingCall(end_loans_now, nullptr) == 0) ending_scheduled = true;
}

int& flags_of(PyObject* array) { return py::detail::array_proxy(array)->flags; }

// A new loan of `array` (GIL held): the owner the library's copies share.
std::shared_ptr<const void> open_loan(const py::array& array) {
  PyObject* object = array.ptr();
  Loans& loans = out_on_loan()[object];
  if (loans.count++ == 0 && (flags_of(object) & kWriteable)) {
    flags_of(object) &= ~kWriteable;
    loans.made_read_only = true;
  }
  Py_INCREF(object);
  return std::shared_ptr<const void>(object, [](const void* p) { loan_ended(static_cast<PyObject*>(const_cast<void*>(p))); });
}

std::optional<kit::DType> dtype_of(const py::array& array) {
  const auto kind = array.dtype().kind();
  const auto size = array.itemsize();
  if (kind == 'u' && size == 1) return kit::DType::uint8;
  if (kind == 'i' && size == 4) return kit::DType::int32;
  if (kind == 'i' && size == 8) return kit::DType::int64;
  if (kind == 'f' && size == 4) return kit::DType::float32;
  if (kind == 'f' && size == 8) return kit::DType::float64;
  return std::nullopt;
}

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) text += (i ? ", " : "") + std::to_string(array.shape(i));
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string type_name(py::handle object) { return py::str(object.get_type().attr("__name__")); }

py::array as_array(py::handle object, const Where& where) {
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(where.text() + " must be a numpy array, not " + type_name(object));
  }
  return py::reinterpret_borrow<py::array>(object);
}

bool is_image_key(std::string_view key) { return key.find(kImagePrefix) != std::string_view::npos; }

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw py::error_already_set();
  return {data, static_cast<size_t>(size)};
}

}  // namespace

std::string Where::text() const {
  if (!parent_) return root_;
  if (index_ >= 0) return parent_->text() + "[" + std::to_string(index_) + "]";
  return parent_->text() + "['" + std::string(key_) + "']";
}

kit::NdArray lend(const py::array& array, const Where& where) {
  const auto dtype = dtype_of(array);
  if (!dtype) {
    throw py::type_error(where.text() + " has dtype " + std::string(py::str(array.dtype())) +
                         "; arrays are taken as uint8, int32, int64, float32 or float64");
  }
  if (!(array.flags() & kCContiguous)) {
    throw py::value_error(where.text() +
                          " is not C-contiguous (a slice or a transposed view); pass numpy.ascontiguousarray(...) of it");
  }
  if (!py::detail::check_flags(array.ptr(), py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
    throw py::value_error(where.text() + " is not aligned; pass a copy of it");
  }
  std::vector<size_t> shape(array.shape(), array.shape() + array.ndim());
  return kit::NdArray::borrow(*dtype, std::move(shape), open_loan(array), static_cast<const std::byte*>(array.data()));
}

kit::NdArray lend_image(py::handle image, const Where& where) {
  const py::array array = as_array(image, where);
  if (array.ndim() != 3 || array.shape(2) != 3) {
    throw py::value_error(where.text() + " must be an RGB image of shape (height, width, 3), not " + shape_text(array));
  }
  if (dtype_of(array) != kit::DType::uint8) {
    throw py::type_error(where.text() + " must be uint8 (RGB, 8 bits per channel), not " + std::string(py::str(array.dtype())));
  }
  return lend(array, where);
}

kit::Value to_value(py::handle object, const Where& where) {
  if (object.is_none()) return kit::None{};
  if (PyBool_Check(object.ptr())) return object.ptr() == Py_True;
  if (PyLong_Check(object.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
    if (overflow) throw py::value_error(where.text() + " does not fit in 64 bits");
    return static_cast<int64_t>(v);
  }
  if (PyFloat_Check(object.ptr())) return PyFloat_AsDouble(object.ptr());
  if (PyUnicode_Check(object.ptr())) return std::string(utf8(object));
  if (py::isinstance<py::array>(object)) return lend(py::reinterpret_borrow<py::array>(object), where);
  if (PyList_Check(object.ptr())) {
    kit::List list;
    long i = 0;
    for (const auto item : py::reinterpret_borrow<py::list>(object)) list.push_back(to_value(item, where.item(i++)));
    return list;
  }
  // numpy scalars (numpy.float32(1.5), numpy.int64(3)) read as plain numbers.
  if (py::hasattr(object, "dtype") && py::hasattr(object, "item")) return to_value(object.attr("item")(), where);
  throw py::type_error(where.text() + " has a value of type " + type_name(object) +
                       "; frame values are None, bool, int, float, str, numpy arrays and lists of them");
}

kit::Record to_record(const py::dict& mapping, const Where& where) {
  kit::Record record;
  for (const auto& [key, value] : mapping) {
    if (!PyUnicode_Check(key.ptr())) throw py::type_error(where.text() + " keys must be str, not " + type_name(key));
    const std::string_view name = utf8(key);
    const Where at = where.key(name);
    record.set(std::string(name), is_image_key(name) && !value.is_none() ? kit::Value(lend_image(value, at)) : to_value(value, at));
  }
  return record;
}

py::object to_python(const kit::Value& value) {
  return std::visit(
      [](const auto& v) -> py::object {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, kit::None>) {
          return py::none();
        } else if constexpr (std::is_same_v<T, kit::NdArray>) {
          const char* format = nullptr;
          switch (v.dtype()) {
            case kit::DType::uint8: format = "uint8"; break;
            case kit::DType::int32: format = "int32"; break;
            case kit::DType::int64: format = "int64"; break;
            case kit::DType::float32: format = "float32"; break;
            case kit::DType::float64: format = "float64"; break;
          }
          // The capsule keeps a copy of the array, and so its buffer, alive.
          auto* kept = new kit::NdArray(v);
          py::capsule owner(kept, [](void* p) { delete static_cast<kit::NdArray*>(p); });
          std::vector<py::ssize_t> shape(v.shape().begin(), v.shape().end());
          py::array out(py::dtype(format), shape, {}, v.data(), owner);
          flags_of(out.ptr()) &= ~kWriteable;
          return out;
        } else if constexpr (std::is_same_v<T, kit::List>) {
          py::list out;
          for (const auto& item : v) out.append(to_python(item));
          return out;
        } else {
          return py::cast(v);
        }
      },
      value.variant());
}

py::dict to_dict(const kit::Record& record) {
  py::dict out;
  for (const auto& [key, value] : record) out[py::str(key)] = to_python(value);
  return out;
}

void return_loans() {
  std::vector<PyObject*> done;
  {
    std::lock_guard lock(ended_mutex);
    done.swap(ended);
    ending_scheduled = false;
  }
  auto& loans = out_on_loan();
  for (PyObject* array : done) {
    const auto it = loans.find(array);
    if (it != loans.end() && --it->second.count == 0) {
      if (it->second.made_read_only) flags_of(array) |= kWriteable;
      loans.erase(it);
    }
    Py_DECREF(array);
  }
}

}  // namespace tessaline::python
