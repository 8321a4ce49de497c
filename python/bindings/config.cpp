// The seven settings, read and assigned by name (the Python module
// `tessaline.config` shows them as its attributes). Assigning one changes
// what every later reader in the library sees, as the settings do in C++.
#include <pybind11/stl.h>

#include "python/bindings/bindings.hpp"
#include "tessaline/config.hpp"

namespace tessaline::python {
namespace {

std::string* text_setting(const std::string& name) {
  if (name == "VELQUIN_HTTP_SERVER") return &config::VELQUIN_HTTP_SERVER;
  if (name == "VELQUIN_GRPC_SERVER") return &config::VELQUIN_GRPC_SERVER;
  if (name == "STUDIO_URL") return &config::STUDIO_URL;
  if (name == "HF_HOME") return &config::HF_HOME;
  if (name == "HF_LEROBOT_HOME") return &config::HF_LEROBOT_HOME;
  return nullptr;
}

std::optional<std::string>* optional_setting(const std::string& name) {
  if (name == "TURN_USERNAME") return &config::TURN_USERNAME;
  if (name == "TURN_CREDENTIAL") return &config::TURN_CREDENTIAL;
  return nullptr;
}

py::object get(const std::string& name) {
  if (const auto* text = text_setting(name)) return py::str(*text);
  if (const auto* optional = optional_setting(name)) return py::cast(*optional);
  throw py::attribute_error("no setting " + name);
}

void set(const std::string& name, py::handle value) {
  if (auto* text = text_setting(name)) {
    if (!PyUnicode_Check(value.ptr())) throw py::type_error(name + " is text (str)");
    *text = value.cast<std::string>();
    return;
  }
  if (auto* optional = optional_setting(name)) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) throw py::type_error(name + " is text (str) or None");
    *optional = value.is_none() ? std::nullopt : std::optional<std::string>(value.cast<std::string>());
    return;
  }
  throw py::attribute_error("no setting " + name);
}

}  // namespace

void bind_config(py::module_& m) {
  m.def("_config_get", &get, py::arg("name"));
  m.def("_config_set", &set, py::arg("name"), py::arg("value"));
}

}  // namespace tessaline::python
