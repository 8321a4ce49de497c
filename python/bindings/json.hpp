#pragma once
// JSON values between Python and the library: None, bool, int, float, str,
// lists (and tuples) and dicts with str keys.
#include <pybind11/pybind11.h>

#include <string>

#include "kit/json/text.hpp"

namespace tessaline::python {

namespace py = pybind11;

// TypeError naming `what` for anything JSON cannot hold.
kit::json::Json to_json(py::handle object, const std::string& what);
py::object from_json(const kit::json::Json& value);

}  // namespace tessaline::python
