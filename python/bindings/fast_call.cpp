#include "python/bindings/fast_call.hpp"

#include <string>

namespace tessaline::python::fast_call_detail {

namespace {

bool type_error(const FastSignature& signature, const std::string& what) {
  PyErr_SetString(PyExc_TypeError, (std::string(signature.method) + "() " + what).c_str());
  return false;
}

}  // namespace

bool match(const FastSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, FastArgs& out) {
  std::size_t count = 0;
  while (count < signature.names.size() && signature.names[count]) ++count;
  if (static_cast<std::size_t>(nargs) > count) {
    return type_error(signature, "takes at most " + std::to_string(count) + " arguments (" + std::to_string(nargs) + " given)");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    std::size_t j = 0;
    while (j < count && PyUnicode_CompareWithASCIIString(name, signature.names[j]) != 0) ++j;
    if (j == count) {
      const char* text = PyUnicode_AsUTF8(name);
      return text && type_error(signature, std::string("got an unexpected keyword argument '") + text + "'");
    }
    if (out[j]) return type_error(signature, std::string("got multiple values for argument '") + signature.names[j] + "'");
    out[j] = args[nargs + k];
  }
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!out[i]) return type_error(signature, std::string("missing required argument '") + signature.names[i] + "'");
  }
  return true;
}

void set_python_error() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    if (py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators)) return;
    if (py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators)) return;
    PyErr_SetString(PyExc_SystemError, "an exception escaped the library's translators");
  }
}

}  // namespace tessaline::python::fast_call_detail

namespace tessaline::python {

namespace {

[[noreturn]] void wrong_type(const char* name, const char* expected, PyObject* value) {
  throw py::type_error(std::string(name) + " must be " + expected + ", not " + Py_TYPE(value)->tp_name);
}

}  // namespace

py::dict dict_argument(PyObject* value, const char* name) {
  if (!PyDict_Check(value)) wrong_type(name, "a dict (a frame record)", value);
  return py::reinterpret_borrow<py::dict>(value);
}

bool flag_argument(PyObject* value, const char* name) {
  if (!value || value == Py_None) return false;
  if (!PyBool_Check(value) && !PyLong_Check(value) && std::string(Py_TYPE(value)->tp_name) != "numpy.bool_") {
    wrong_type(name, "a bool", value);
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

std::optional<double> number_argument(PyObject* value, const char* name) {
  if (!value || value == Py_None) return std::nullopt;
  if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) wrong_type(name, "a number", value);
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}

std::optional<std::string> optional_text_argument(PyObject* value, const char* name) {
  if (!value || value == Py_None) return std::nullopt;
  return text_argument(value, name);
}

std::string text_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) wrong_type(name, "a str", value);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) throw py::error_already_set();
  return std::string(text, static_cast<size_t>(size));
}

void add_fast_method(py::handle cls, PyMethodDef& def) {
  py::object method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def));
  if (!method) throw py::error_already_set();
  py::setattr(cls, def.ml_name, method);
}

}  // namespace tessaline::python
