// tessaline._core: the C++ library under the Python package `tessaline`.
#include "python/bindings/arrays.hpp"
#include "python/bindings/bindings.hpp"
#include "python/bindings/waiting.hpp"

PYBIND11_MODULE(_core, m) {
  namespace tp = tessaline::python;
  m.doc() = "The C++ library under the tessaline package; use the package's names.";
  tp::ask_python_about_interrupts();
  tp::bind_config(m);
  tp::bind_session(m);
  tp::bind_transport(m);
  tp::bind_robots(m);
  m.def("_return_loans", &tp::return_loans, "Gives back the arrays the library has finished with.");
}
