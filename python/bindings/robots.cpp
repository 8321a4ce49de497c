// The arms and port discovery for Python (the package's tessaline.robots
// builds the robot framework's shape of API on these). Bus and camera
// work runs without the GIL.
#include <pybind11/stl.h>

#include <memory>

#include "armkit/robots/robot.hpp"
#include "cli/ports.hpp"
#include "python/bindings/arrays.hpp"
#include "python/bindings/bindings.hpp"
#include "python/bindings/waiting.hpp"

namespace tessaline::python {
namespace {

struct ReleasingDelete {
  template <typename T>
  void operator()(T* p) const {
    py::gil_scoped_release release;  // disconnecting writes to the bus
    delete p;
  }
};

std::optional<armkit::MaxRelativeTarget> max_relative_target(py::handle value) {
  if (value.is_none()) return std::nullopt;
  armkit::MaxRelativeTarget bound;
  if (py::isinstance<py::dict>(value)) {
    for (const auto& [motor, limit] : py::reinterpret_borrow<py::dict>(value)) {
      bound.per_motor[motor.cast<std::string>()] = limit.cast<double>();
    }
  } else {
    bound.all = value.cast<double>();
  }
  return bound;
}

std::map<std::string, armkit::OpenCVCameraConfig> camera_configs(const py::dict& cameras) {
  std::map<std::string, armkit::OpenCVCameraConfig> out;
  for (const auto& [name, config] : cameras) {
    armkit::OpenCVCameraConfig c;
    c.index_or_path = py::str(config.attr("index_or_path"));
    // None: the camera's default size and rate, as the framework leaves them.
    const auto number_or = [&](const char* name, int fallback) {
      const py::object v = py::getattr(config, name, py::none());
      return v.is_none() ? fallback : v.cast<int>();
    };
    c.width = number_or("width", c.width);
    c.height = number_or("height", c.height);
    c.fps = number_or("fps", c.fps);
    const py::object fourcc = py::getattr(config, "fourcc", py::str(c.fourcc));
    c.fourcc = fourcc.is_none() ? "" : fourcc.cast<std::string>();
    out[name.cast<std::string>()] = c;
  }
  return out;
}

armkit::Action to_action(const py::dict& action) {
  armkit::Action out;
  for (const auto& [key, value] : action) {
    const std::string name = key.cast<std::string>();
    if (PyBool_Check(value.ptr()) || !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) || py::hasattr(value, "__float__"))) {
      throw py::type_error("action['" + name + "'] is not a number");
    }
    out.set(name, value.cast<double>());
  }
  return out;
}

py::dict read_without_gil(const std::function<kit::Record()>& read) {
  kit::Record record;
  {
    py::gil_scoped_release release;
    record = read();
  }
  return to_dict(record);
}

void bind_ports(py::module_& m) {
  using ports::PortInfo;
  py::class_<PortInfo>(m, "PortInfo")
      .def_readonly("device", &PortInfo::device)
      .def_readonly("description", &PortInfo::description)
      .def_readonly("manufacturer", &PortInfo::manufacturer)
      .def_readonly("vid", &PortInfo::vid)
      .def_readonly("pid", &PortInfo::pid)
      .def_readonly("serial_number", &PortInfo::serial_number)
      .def_readonly("motor_ids", &PortInfo::motor_ids)
      .def_readonly("baudrate", &PortInfo::baudrate)
      .def_readonly("motor_type", &PortInfo::motor_type)
      .def("__repr__", [](const PortInfo& p) {
        return "PortInfo(device=" + std::string(py::repr(py::cast(p.device))) +
               ", motor_type=" + std::string(py::repr(py::cast(p.motor_type))) +
               ", motor_ids=" + std::string(py::repr(py::cast(p.motor_ids))) + ")";
      });
  m.def("find_robot_ports", [](std::optional<std::string> motor_type, bool verbose) {
    std::vector<PortInfo> found;
    without_interrupts([&] { found = ports::find_robot_ports(motor_type, verbose); });
    return found;
  }, py::arg("motor_type") = py::none(), py::arg("verbose") = true);
}

}  // namespace

void bind_robots(py::module_& m) {
  py::register_exception<armkit::CalibrationError>(m, "CalibrationError", PyExc_RuntimeError);
  py::register_exception<armkit::BusError>(m, "BusError", PyExc_ConnectionError);
  py::register_exception<armkit::CameraError>(m, "CameraError", PyExc_RuntimeError);

  py::class_<armkit::Robot, std::unique_ptr<armkit::Robot, ReleasingDelete>>(m, "Robot")
      .def(py::init([](const std::string& type, const std::string& port, std::optional<std::string> id,
                       const py::dict& cameras, std::optional<bool> use_degrees, py::handle max_relative,
                       bool disable_torque_on_disconnect, std::optional<std::string> calibration_dir) {
             auto config = armkit::RobotConfig::get_choice_class(type)(port, camera_configs(cameras));
             config.id = std::move(id);
             if (calibration_dir) config.calibration_dir = *calibration_dir;
             config.use_degrees = use_degrees;
             config.max_relative_target = max_relative_target(max_relative);
             config.disable_torque_on_disconnect = disable_torque_on_disconnect;
             return std::unique_ptr<armkit::Robot, ReleasingDelete>(new armkit::Robot(std::move(config)));
           }),
           py::arg("type"), py::arg("port"), py::arg("id"), py::arg("cameras"), py::arg("use_degrees"),
           py::arg("max_relative_target"), py::arg("disable_torque_on_disconnect"), py::arg("calibration_dir"))
      .def("connect", [](armkit::Robot& r) { without_interrupts([&] { r.connect(); }); })
      .def("disconnect", [](armkit::Robot& r) { without_interrupts([&] { r.disconnect(); }); })
      .def_property_readonly("is_connected", &armkit::Robot::is_connected)
      .def_property_readonly("calibration_file", [](armkit::Robot& r) { return r.arm().calibration_file().string(); })
      .def_property_readonly("joint_names", [](armkit::Robot& r) { return r.arm().joint_names(); })
      .def("get_observation", [](armkit::Robot& r) { return read_without_gil([&] { return r.get_observation(); }); })
      .def("send_action", [](armkit::Robot& r, const py::dict& action) {
        const armkit::Action goals = to_action(action);
        return read_without_gil([&] { return r.send_action(goals); });
      }, py::arg("action"));

  py::class_<armkit::Teleoperator, std::unique_ptr<armkit::Teleoperator, ReleasingDelete>>(m, "Teleoperator")
      .def(py::init([](const std::string& type, const std::string& port, std::optional<std::string> id,
                       std::optional<bool> use_degrees, double gripper_open_pos, std::optional<std::string> calibration_dir) {
             auto config = armkit::TeleoperatorConfig::get_choice_class(type)(port);
             config.id = std::move(id);
             if (calibration_dir) config.calibration_dir = *calibration_dir;
             config.use_degrees = use_degrees;
             config.gripper_open_pos = gripper_open_pos;
             return std::unique_ptr<armkit::Teleoperator, ReleasingDelete>(new armkit::Teleoperator(std::move(config)));
           }),
           py::arg("type"), py::arg("port"), py::arg("id"), py::arg("use_degrees"), py::arg("gripper_open_pos"),
           py::arg("calibration_dir"))
      .def("connect", [](armkit::Teleoperator& t) { without_interrupts([&] { t.connect(); }); })
      .def("disconnect", [](armkit::Teleoperator& t) { without_interrupts([&] { t.disconnect(); }); })
      .def_property_readonly("is_connected", &armkit::Teleoperator::is_connected)
      .def_property_readonly("calibration_file", [](armkit::Teleoperator& t) { return t.arm().calibration_file().string(); })
      .def_property_readonly("joint_names", [](armkit::Teleoperator& t) { return t.arm().joint_names(); })
      .def("get_action", [](armkit::Teleoperator& t) {
        return read_without_gil([&] { return t.get_action(); });
      });

  bind_ports(m);
}

}  // namespace tessaline::python
