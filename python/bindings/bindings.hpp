#pragma once
// The parts of the extension module, each adding its names to it.
#include <pybind11/pybind11.h>

namespace tessaline::python {

namespace py = pybind11;

void bind_config(py::module_& m);
void bind_session(py::module_& m);
void bind_transport(py::module_& m);
void bind_robots(py::module_& m);

}  // namespace tessaline::python
