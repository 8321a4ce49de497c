#include "python/bindings/json.hpp"

#include <cmath>

namespace tessaline::python {

kit::json::Json to_json(py::handle object, const std::string& what) {
  using kit::json::Json;
  if (object.is_none()) return nullptr;
  if (PyBool_Check(object.ptr())) return object.cast<bool>();
  if (PyLong_Check(object.ptr())) return object.cast<long long>();
  if (PyFloat_Check(object.ptr())) {
    const double v = object.cast<double>();
    if (!std::isfinite(v)) throw py::value_error(what + " is " + std::to_string(v) + ", which JSON cannot hold");
    return v;
  }
  if (PyUnicode_Check(object.ptr())) return object.cast<std::string>();
  if (py::isinstance<py::list>(object) || py::isinstance<py::tuple>(object)) {
    Json out = Json::array();
    size_t i = 0;
    for (const auto item : object) out.push_back(to_json(item, what + "[" + std::to_string(i++) + "]"));
    return out;
  }
  if (py::isinstance<py::dict>(object)) {
    Json out = Json::object();
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(object)) {
      if (!PyUnicode_Check(key.ptr())) throw py::type_error(what + " keys must be str");
      const std::string name = key.cast<std::string>();
      out[name] = to_json(value, what + "['" + name + "']");
    }
    return out;
  }
  throw py::type_error(what + " holds a " + std::string(py::str(object.get_type().attr("__name__"))) +
                       ", which JSON cannot hold");
}

py::object from_json(const kit::json::Json& value) {
  switch (value.type()) {
    case kit::json::Json::value_t::null: return py::none();
    case kit::json::Json::value_t::boolean: return py::bool_(value.get<bool>());
    case kit::json::Json::value_t::number_integer: return py::int_(value.get<long long>());
    case kit::json::Json::value_t::number_unsigned: return py::int_(value.get<unsigned long long>());
    case kit::json::Json::value_t::number_float: return py::float_(value.get<double>());
    case kit::json::Json::value_t::string: return py::str(value.get<std::string>());
    case kit::json::Json::value_t::array: {
      py::list out;
      for (const auto& item : value) out.append(from_json(item));
      return out;
    }
    case kit::json::Json::value_t::object: {
      py::dict out;
      for (const auto& [key, item] : value.items()) out[py::str(key)] = from_json(item);
      return out;
    }
    default: return py::none();
  }
}

}  // namespace tessaline::python
