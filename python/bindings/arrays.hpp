#pragma once
// Values between Python and the library. numpy arrays are lent, not
// copied: the library keeps a reference to the array while any part of it
// (a video track, a frame being encoded) still uses the pixels, and an
// array that was writable is made read-only for that time, so writing into
// a buffer the library still reads raises ValueError instead of changing a
// frame under the encoder. Its writability comes back once the library is
// done with it (on the main thread, at the interpreter's next check).
// Arrays the library hands out (camera frames) are read-only views of its
// own buffers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "kit/values/values.hpp"

namespace tessaline::python {

namespace py = pybind11;

// Where a value sits in what the caller passed ("observation['state'][2]"),
// spelled out only when an error names it: the frame path builds no text.
class Where {
 public:
  explicit Where(const char* root) : root_(root) {}
  Where key(std::string_view key) const { return Where(this, key, -1); }
  Where item(long index) const { return Where(this, {}, index); }
  std::string text() const;

 private:
  Where(const Where* parent, std::string_view key, long index) : parent_(parent), key_(key), index_(index) {}
  const Where* parent_ = nullptr;
  const char* root_ = "";
  std::string_view key_;
  long index_ = -1;
};

// The array's bytes for the library, without a copy. Must be C-contiguous
// with a dtype of uint8, int32, int64, float32 or float64; `where` names it
// in the errors (TypeError for the dtype, ValueError for the layout).
kit::NdArray lend(const py::array& array, const Where& where);

// An RGB image: uint8, height x width x 3, C-contiguous.
kit::NdArray lend_image(py::handle image, const Where& where);

// None, bool, int, float, str, numpy arrays and lists (nested): the values a
// frame record holds. Anything else is a TypeError naming `where`. Images
// under "observation.images." keys must be RGB images (lend_image).
kit::Value to_value(py::handle object, const Where& where);
kit::Record to_record(const py::dict& mapping, const Where& where);

// The library's values as Python objects: arrays become read-only numpy
// views that keep the library's buffer alive.
py::object to_python(const kit::Value& value);
py::dict to_dict(const kit::Record& record);

// Gives back the arrays the library has finished with (needs the GIL);
// also runs by itself on the main thread.
void return_loans();

}  // namespace tessaline::python
