#pragma once
// The logged action from Python: a list (or tuple, or 1-D numpy array) of
// numbers, the processed action's values in order.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace tessaline::python {

namespace py = pybind11;

// TypeError for a mapping (with the fix: list(action.values())) or for
// anything that is not numbers.
std::vector<double> action_numbers(py::handle action);

}  // namespace tessaline::python
