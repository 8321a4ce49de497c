// The arms and port discovery for Python (the package's tessaline.robots
// builds the robot framework's shape of API on these). Bus and camera
// work runs without the GIL.
#include <pybind11/stl.h>

#include <unistd.h>

#include <memory>

#include "armkit/robots/arm_setup.hpp"
#include "armkit/robots/robot.hpp"
#include "cli/arm_configs.hpp"
#include "cli/calibrate.hpp"
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

// What connect() does with an arm whose servos do not hold its calibration:
// with calibrate=True and a terminal to ask on, the framework's calibrate()
// (the file written back, or the procedure); else the arm is refused, saying
// how to calibrate it — a script nobody watches never waits on a prompt.
armkit::CalibrationHandler calibration_handler(std::shared_ptr<bool> calibrate) {
  return [calibrate](armkit::ServoArm& arm, const armkit::CalibrationProblem& problem) {
    if (*calibrate && isatty(STDIN_FILENO)) {
      cli::calibrate_or_restore(arm);
      return;
    }
    throw armkit::CalibrationError(problem, armkit::describe(problem) + ".\nCalibrate it with calibrate()" +
                                                (*calibrate ? "" : " or connect(calibrate=True)") + " in a terminal, or `" +
                                                cli::calibrate_command(problem.type, problem.id) + "`.");
  };
}

// An arm as Python holds it: what connect(calibrate=...) asked for is
// where the calibration handler reads it.
template <typename Arm>
struct PythonArm : Arm {
  template <typename Config>
  PythonArm(Config config, std::shared_ptr<bool> calibrate) : Arm(with_handler(std::move(config), calibrate)), calibrate_on_connect(calibrate) {}
  std::shared_ptr<bool> calibrate_on_connect;

 private:
  template <typename Config>
  static Config with_handler(Config config, const std::shared_ptr<bool>& calibrate) {
    config.on_calibration_problem = calibration_handler(calibrate);
    return config;
  }
};
using PythonRobot = PythonArm<armkit::Robot>;
using PythonTeleoperator = PythonArm<armkit::Teleoperator>;

template <typename Arm>
void connect(Arm& a, bool calibrate) {
  *a.calibrate_on_connect = calibrate;
  with_interrupts([&] { a.connect(); });
}

// The framework's calibrate(): on a connected arm it is configured again
// afterwards and stays connected; otherwise its port is opened for it and
// closed again. A calibration that fails leaves the servos as they were
// and the arm disconnected.
template <typename Arm>
void calibrate(Arm& a) {
  armkit::ServoArm& arm = a.arm();
  const bool was_connected = arm.is_connected();
  with_interrupts([&] {
    try {
      if (!was_connected) arm.connect(false);
      cli::calibrate_or_restore(arm);
      if (was_connected) {
        arm.configure();
        arm.read_positions();
      } else {
        arm.disconnect();
      }
    } catch (...) {
      if (arm.is_connected()) arm.close_as_is();
      if (was_connected) a.disconnect();
      throw;
    }
  });
}

template <typename Arm>
std::string setup_motor(Arm& a, const std::string& motor) {
  std::string found;
  without_interrupts([&] { found = armkit::setup_motor(a.arm().bus(), motor); });
  return found;
}

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

// The arm's servos on their port, by register name, for the framework's
// bus API (tessaline.robots.MotorsBus builds it on these); values as the
// servos hold them, with to_value / to_raw for positions.
void bind_servo_arm(py::module_& m) {
  py::class_<armkit::ServoArm>(m, "ServoArm")
      .def_property_readonly("port", [](armkit::ServoArm& a) { return a.bus().port; })
      .def_property_readonly("motors", [](armkit::ServoArm& a) {
        py::dict out;
        for (const auto& name : a.joint_names()) {
          const armkit::Motor& motor = a.bus().motors.at(name);
          out[py::str(name)] = py::make_tuple(motor.id, motor.model);
        }
        return out;
      })
      .def("read", [](armkit::ServoArm& a, const std::string& reg, const std::string& motor) {
        int32_t value = 0;
        without_interrupts([&] { value = a.bus().read(reg, motor); });
        return value;
      }, py::arg("register"), py::arg("motor"))
      .def("write", [](armkit::ServoArm& a, const std::string& reg, const std::string& motor, int32_t value) {
        without_interrupts([&] { a.bus().write(reg, motor, value); });
      }, py::arg("register"), py::arg("motor"), py::arg("value"))
      .def("sync_read", [](armkit::ServoArm& a, const std::string& reg, const std::vector<std::string>& motors) {
        std::map<std::string, int32_t> values;
        without_interrupts([&] { values = a.bus().sync_read(reg, motors); });
        return values;
      }, py::arg("register"), py::arg("motors"))
      .def("sync_write", [](armkit::ServoArm& a, const std::string& reg, const std::map<std::string, int32_t>& values) {
        without_interrupts([&] { a.bus().sync_write(reg, values); });
      }, py::arg("register"), py::arg("values"))
      .def("set_torque", [](armkit::ServoArm& a, const std::vector<std::string>& motors, bool on) {
        without_interrupts([&] { armkit::set_torque(a.bus(), motors, on); });
      }, py::arg("motors"), py::arg("on"))
      .def("to_value", &armkit::ServoArm::to_value, py::arg("motor"), py::arg("raw"))
      .def("to_raw", &armkit::ServoArm::to_raw, py::arg("motor"), py::arg("value"));
}

// A camera of a connected robot: its newest frame, or the next one.
void bind_camera(py::module_& m) {
  py::class_<armkit::Camera>(m, "Camera")
      .def_property_readonly("is_connected", &armkit::Camera::is_connected)
      .def_property_readonly("frames_read", &armkit::Camera::frames_read)
      .def("read_latest", [](const armkit::Camera& c, double stale_after_s) {
        kit::NdArray image;
        without_interrupts([&] {
          image = c.read_latest(std::chrono::milliseconds(static_cast<long>(stale_after_s * 1000)));
        });
        return to_python(kit::Value(std::move(image)));
      }, py::arg("stale_after_s"));
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

  py::class_<PythonRobot, std::unique_ptr<PythonRobot, ReleasingDelete>>(m, "Robot")
      .def(py::init([](const std::string& type, const std::string& port, std::optional<std::string> id,
                       const py::dict& cameras, std::optional<bool> use_degrees, py::handle max_relative,
                       bool disable_torque_on_disconnect, std::optional<std::string> calibration_dir) {
             auto config = armkit::RobotConfig::get_choice_class(type)(port, camera_configs(cameras));
             config.id = std::move(id);
             if (calibration_dir) config.calibration_dir = *calibration_dir;
             config.use_degrees = use_degrees;
             config.max_relative_target = max_relative_target(max_relative);
             config.disable_torque_on_disconnect = disable_torque_on_disconnect;
             return std::unique_ptr<PythonRobot, ReleasingDelete>(new PythonRobot(std::move(config), std::make_shared<bool>(false)));
           }),
           py::arg("type"), py::arg("port"), py::arg("id"), py::arg("cameras"), py::arg("use_degrees"),
           py::arg("max_relative_target"), py::arg("disable_torque_on_disconnect"), py::arg("calibration_dir"))
      .def("connect", &connect<PythonRobot>, py::arg("calibrate"))
      .def("calibrate", &calibrate<PythonRobot>)
      .def("configure", [](PythonRobot& r) { without_interrupts([&] { r.arm().configure(); }); })
      .def("setup_motor", &setup_motor<PythonRobot>, py::arg("motor"))
      .def("disconnect", [](PythonRobot& r) { without_interrupts([&] { r.disconnect(); }); })
      .def_property_readonly("is_connected", &PythonRobot::is_connected)
      .def_property_readonly("servo_arm", [](PythonRobot& r) -> armkit::ServoArm& { return r.arm(); },
                             py::return_value_policy::reference_internal)
      .def("camera", [](PythonRobot& r, const std::string& name) -> armkit::Camera& {
        const auto found = r.cameras.find(name);
        if (found == r.cameras.end()) throw py::key_error(name);
        return *found->second;
      }, py::return_value_policy::reference_internal, py::arg("name"))
      .def_property_readonly("calibration_file", [](PythonRobot& r) { return r.arm().calibration_file().string(); })
      .def_property_readonly("joint_names", [](PythonRobot& r) { return r.arm().joint_names(); })
      .def("get_observation", [](PythonRobot& r) { return read_without_gil([&] { return r.get_observation(); }); })
      .def("send_action", [](PythonRobot& r, const py::dict& action) {
        const armkit::Action goals = to_action(action);
        return read_without_gil([&] { return r.send_action(goals); });
      }, py::arg("action"));

  py::class_<PythonTeleoperator, std::unique_ptr<PythonTeleoperator, ReleasingDelete>>(m, "Teleoperator")
      .def(py::init([](const std::string& type, const std::string& port, std::optional<std::string> id,
                       std::optional<bool> use_degrees, double gripper_open_pos, std::optional<std::string> calibration_dir) {
             auto config = armkit::TeleoperatorConfig::get_choice_class(type)(port);
             config.id = std::move(id);
             if (calibration_dir) config.calibration_dir = *calibration_dir;
             config.use_degrees = use_degrees;
             config.gripper_open_pos = gripper_open_pos;
             return std::unique_ptr<PythonTeleoperator, ReleasingDelete>(
                 new PythonTeleoperator(std::move(config), std::make_shared<bool>(false)));
           }),
           py::arg("type"), py::arg("port"), py::arg("id"), py::arg("use_degrees"), py::arg("gripper_open_pos"),
           py::arg("calibration_dir"))
      .def("connect", &connect<PythonTeleoperator>, py::arg("calibrate"))
      .def("calibrate", &calibrate<PythonTeleoperator>)
      .def("configure", [](PythonTeleoperator& t) { without_interrupts([&] { t.arm().configure(); }); })
      .def("setup_motor", &setup_motor<PythonTeleoperator>, py::arg("motor"))
      .def("disconnect", [](PythonTeleoperator& t) { without_interrupts([&] { t.disconnect(); }); })
      .def_property_readonly("is_connected", &PythonTeleoperator::is_connected)
      .def_property_readonly("servo_arm", [](PythonTeleoperator& t) -> armkit::ServoArm& { return t.arm(); },
                             py::return_value_policy::reference_internal)
      .def_property_readonly("calibration_file", [](PythonTeleoperator& t) { return t.arm().calibration_file().string(); })
      .def_property_readonly("joint_names", [](PythonTeleoperator& t) { return t.arm().joint_names(); })
      .def("get_action", [](PythonTeleoperator& t) {
        return read_without_gil([&] { return t.get_action(); });
      });

  bind_servo_arm(m);
  bind_camera(m);
  bind_ports(m);
}

}  // namespace tessaline::python
