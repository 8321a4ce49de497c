#include "python/bindings/actions.hpp"

#include <pybind11/numpy.h>

namespace tessaline::python {

std::vector<double> action_numbers(py::handle action) {
  if (py::isinstance<py::dict>(action)) {
    throw py::type_error("the action is logged as a list of its values: pass list(action.values())");
  }
  if (py::isinstance<py::array>(action)) {
    const auto array = py::reinterpret_borrow<py::array>(action);
    if (array.ndim() != 1) throw py::value_error("an action array must be one-dimensional");
    const auto values = py::array_t<double, py::array::forcecast>::ensure(array);
    if (!values) throw py::type_error("the action array must hold numbers");
    return std::vector<double>(values.data(), values.data() + values.size());
  }
  if (!py::isinstance<py::list>(action) && !py::isinstance<py::tuple>(action)) {
    throw py::type_error("the action must be a list of numbers, not " +
                         std::string(py::str(action.get_type().attr("__name__"))));
  }
  std::vector<double> out;
  size_t i = 0;
  for (const auto item : action) {
    if (PyFloat_Check(item.ptr())) {
      out.push_back(PyFloat_AS_DOUBLE(item.ptr()));  // the usual case, without pybind11's casting
    } else if (PyBool_Check(item.ptr()) || !(PyLong_Check(item.ptr()) || py::hasattr(item, "__float__"))) {
      throw py::type_error("action[" + std::to_string(i) + "] is not a number");
    } else {
      out.push_back(item.cast<double>());
    }
    ++i;
  }
  return out;
}

}  // namespace tessaline::python
