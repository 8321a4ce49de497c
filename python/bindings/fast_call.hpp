#pragma once
// Methods called once per frame, entered straight from the interpreter
// (METH_FASTCALL) instead of through pybind11's dispatcher: a capture loop
// calls them after sleeping most of a tick, when the dispatcher's lookups
// (overloads, type casters, keyword matching) miss every cache and cost
// more than the call's own work. Arguments are matched here by position or
// name, errors translated as pybind11 translates them.
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "python/bindings/bindings.hpp"

namespace tessaline::python {

struct FastSignature {
  const char* method;
  std::array<const char*, 6> names;  // in order; unused ones null
  std::size_t required;              // the first `required` names must be given
};

// The arguments of one call, by the signature's order (null: not given).
using FastArgs = std::array<PyObject*, 6>;

namespace fast_call_detail {
// Sets a TypeError and returns false for arguments the signature does not take.
bool match(const FastSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, FastArgs& out);
void set_python_error();  // for the exception in flight, as pybind11 would
}  // namespace fast_call_detail

// The body of a METH_FASTCALL | METH_KEYWORDS method: `body(self, args)`
// with the GIL held; None returned.
template <typename Body>
PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const FastSignature& signature, Body&& body) {
  FastArgs given{};
  if (!fast_call_detail::match(signature, args, nargs, kwnames, given)) return nullptr;
  try {
    body(py::handle(self), given);
  } catch (...) {
    fast_call_detail::set_python_error();
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The C++ object behind `self`, an instance of a bound class (or of a
// Python subclass of one): read from where pybind11 keeps it for a class of
// one C++ base, else found through pybind11's casting.
template <typename T>
T& bound_object(py::handle self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  if (instance->simple_layout && instance->simple_holder_constructed) return *static_cast<T*>(instance->simple_value_holder[0]);
  return self.cast<T&>();
}

// Arguments as the frame calls take them, refused with a TypeError naming
// `name` (null: the argument was not given).
py::dict dict_argument(PyObject* value, const char* name);                       // required
bool flag_argument(PyObject* value, const char* name);                           // bool, int or numpy.bool_; None: false
std::optional<double> number_argument(PyObject* value, const char* name);        // int or float; None: none
std::string text_argument(PyObject* value, const char* name);                    // str, required
std::optional<std::string> optional_text_argument(PyObject* value, const char* name);  // str; None: none

// Puts `def` on `cls` as a method (replacing one of the same name).
void add_fast_method(py::handle cls, PyMethodDef& def);

}  // namespace tessaline::python
