// VelquinSession for Python. The session is used from one thread (the one
// that made it); its waits release the GIL and end with KeyboardInterrupt on
// Ctrl+C; after close() every call but close() raises RuntimeError.
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>

#include "python/bindings/actions.hpp"
#include "python/bindings/arrays.hpp"
#include "python/bindings/bindings.hpp"
#include "python/bindings/fast_call.hpp"
#include "python/bindings/json.hpp"
#include "python/bindings/waiting.hpp"
#include "tessaline/session.hpp"

namespace tessaline::python {
namespace {

class Session {
 public:
  Session(std::vector<std::string> camera_names, std::string repo_id, std::string robot_type, int fps,
          std::optional<std::string> server_url, std::optional<std::string> user_id)
      : camera_names_(camera_names) {
    py::gil_scoped_release release;  // without a user id, the browser sign-in waits here
    session_ = std::make_unique<VelquinSession>(std::move(camera_names), std::move(repo_id), std::move(robot_type), fps,
                                                server_url.value_or(""), std::move(user_id));
  }

  VelquinSession& open() {
    if (closed_) throw std::runtime_error("the session is closed: make a new VelquinSession");
    return *session_;
  }
  VelquinSession& any() { return *session_; }

  void close(bool export_dataset) {
    if (closed_) return;
    closed_ = true;
    without_interrupts([&] { session_->close(export_dataset); });
  }
  bool closed() const { return closed_; }
  const std::vector<std::string>& camera_names() const { return camera_names_; }

 private:
  std::vector<std::string> camera_names_;
  std::unique_ptr<VelquinSession> session_;
  bool closed_ = false;
};

std::string type_name_of(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

std::vector<std::string> camera_names_argument(py::handle value) {
  const std::string example = " such as [\"observation.images.cam_front\"]";
  if (py::isinstance<py::str>(value) || !(py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value))) {
    throw py::type_error("camera_names must be a list of camera keys" + example + ", not a " + type_name_of(value));
  }
  std::vector<std::string> names;
  for (const auto& name : value) {
    if (!py::isinstance<py::str>(name)) {
      throw py::type_error("camera_names must hold camera keys (str)" + example + ", not " + type_name_of(name));
    }
    names.push_back(name.cast<std::string>());
  }
  return names;
}

int fps_argument(py::handle value) {
  if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) {
    throw py::type_error("fps must be a whole number of frames per second, not " + type_name_of(value));
  }
  return value.cast<int>();
}

// What a frame record must hold, checked where it is passed (the sending
// worker would only print an error and drop the frame).
void check_frame_record(const py::dict& observation) {
  const std::string how = " (tessaline.robots.frame_record() makes the record from an observation)";
  if (!observation.contains("state")) throw py::value_error("observation has no \"state\": the joint values as a numpy array" + how);
  const py::handle state = observation["state"];
  if (!py::isinstance<py::array>(state)) {
    throw py::type_error("observation[\"state\"] must be a numpy array of the joint values, not " + type_name_of(state) + how);
  }
  if (!observation.contains("timestamp")) {
    throw py::value_error("observation has no \"timestamp\": the seconds since the episode began" + how);
  }
  const py::handle timestamp = observation["timestamp"];
  if (PyBool_Check(timestamp.ptr()) || !(PyFloat_Check(timestamp.ptr()) || PyLong_Check(timestamp.ptr()))) {
    throw py::type_error("observation[\"timestamp\"] must be a number of seconds, not " + type_name_of(timestamp));
  }
}

const FastSignature kLogFrame{"log_frame", {"observation", "action", "episode_end"}, 2};

PyObject* log_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fast_call(self, args, nargs, kwnames, kLogFrame, [](py::handle me, const FastArgs& given) {
    auto& session = bound_object<Session>(me).open();
    const py::dict observation = dict_argument(given[0], "observation");
    check_frame_record(observation);
    const auto numbers = action_numbers(given[1]);
    session.log_frame(std::make_shared<const kit::Record>(to_record(observation, Where("observation"))), numbers,
                      flag_argument(given[2], "episode_end"));
  });
}

PyMethodDef log_frame_method{
    "log_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(log_frame)), METH_FASTCALL | METH_KEYWORDS,
    "log_frame($self, /, observation, action, episode_end=False)\n--\n\n"
    "Queues one frame for the studio and counts it; never waits.\n"
    "observation: a frame record (camera keys -> RGB images, \"state\" -> float32 array, \"timestamp\");\n"
    "action: the logged action, a list of numbers (tessaline.robots.action_values()); episode_end: the\n"
    "episode's last frame, which carries the fps and robot type. Images are lent until the frame is encoded."};

const FastSignature kUpdateFrame{"update_frame", {"camera_key", "frame"}, 2};

PyObject* update_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fast_call(self, args, nargs, kwnames, kUpdateFrame, [](py::handle me, const FastArgs& given) {
    Session& s = bound_object<Session>(me);
    auto& session = s.open();
    const std::string camera_key = text_argument(given[0], "camera_key");
    const auto& known = s.camera_names();
    if (std::find(known.begin(), known.end(), camera_key) == known.end()) {
      throw py::key_error(camera_key + " is not one of this session's cameras: " + std::string(py::repr(py::cast(known))));
    }
    session.update_frame(camera_key, lend_image(given[1], Where("frame")));
  });
}

PyMethodDef update_frame_method{
    "update_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_frame)),
    METH_FASTCALL | METH_KEYWORDS,
    "update_frame($self, /, camera_key, frame)\n--\n\n"
    "Shows `frame` (RGB uint8, height x width x 3) on the camera's video track until the next one.\n"
    "The array is lent, not copied: it stays read-only until the track has sent it."};

// Destroying a session may wait for its loop and workers: without the GIL.
struct ReleasingDelete {
  void operator()(Session* s) const {
    py::gil_scoped_release release;
    delete s;
  }
};

}  // namespace

void bind_session(py::module_& m) {
  py::class_<Session, std::unique_ptr<Session, ReleasingDelete>>(m, "VelquinSession")
      .def(py::init([](py::handle camera_names, py::handle repo_id, py::handle robot_type, py::handle fps,
                       py::handle server_url, py::handle user_id) {
             return std::unique_ptr<Session, ReleasingDelete>(
                 new Session(camera_names_argument(camera_names), text_argument(repo_id.ptr(), "repo_id"),
                             text_argument(robot_type.ptr(), "robot_type"), fps_argument(fps),
                             optional_text_argument(server_url.ptr(), "server_url"), optional_text_argument(user_id.ptr(), "user_id")));
           }),
           py::arg("camera_names"), py::arg("repo_id") = "dataset", py::arg("robot_type") = "unknown",
           py::arg("fps") = 30, py::arg("server_url") = py::none(), py::arg("user_id") = py::none())
      .def("_connect", [](Session& s, double timeout) {
        auto& session = s.open();
        py::gil_scoped_release release;
        return session.connect(timeout);
      }, py::arg("timeout"))
      .def("_wait_for_command", [](Session& s, double timeout) {
        auto& session = s.open();
        return wait_in_slices<std::string>(timeout, [&](double slice) { return session.wait_for_command(slice); });
      }, py::arg("timeout"))
      .def("_close", &Session::close, py::arg("export"))
      .def_property_readonly("closed", &Session::closed)
      .def("end_episode", [](Session& s) {
        auto& session = s.open();
        py::gil_scoped_release release;
        return session.end_episode();
      }, "Waits for the episode's frames to be sent, then ends the episode on the studio. True on success\n"
         "(episode_index goes up, episode_frame_count back to 0); False when the studio did not take it.")
      .def("reset_episode", [](Session& s) {
        auto& session = s.open();
        py::gil_scoped_release release;
        return session.reset_episode();
      }, "Waits for the frames to be sent, then discards the episode on the studio so it can be recorded\n"
         "again. True on success (episode_frame_count back to 0).")
      .def("send_status", [](Session& s, const std::string& status, py::handle data) {
        kit::json::Json extra = data.is_none() ? kit::json::Json::object() : to_json(data, "data");
        if (!extra.is_object()) throw py::type_error("data must be a dict of the status's extra fields");
        s.open().send_status(status, extra);
      }, py::arg("status"), py::arg("data") = py::none(),
         "Tells the browser a status (\"waiting\", \"camera_selection\", \"recording\", \"idle\", ...) with extra\n"
         "fields from `data` (a dict). Returns at once; statuses arrive in the order sent.")
      .def("get_camera_selection", [](Session& s) { return from_json(s.any().get_camera_selection()); },
           "The camera keys the browser selected ([] until it chose).")
      .def_property_readonly("user_id", [](Session& s) { return s.any().user_id(); })
      .def_property_readonly("is_connected", [](Session& s) { return s.any().is_connected(); })
      .def_property_readonly("dataset_name", [](Session& s) { return from_json(s.any().dataset_name()); })
      .def_property_readonly("repo_id", [](Session& s) { return from_json(s.any().repo_id()); })
      .def_property_readonly("episode_index", [](Session& s) { return s.any().episode_index(); })
      .def_property_readonly("episode_frame_count", [](Session& s) { return s.any().episode_frame_count(); })
      .def_property_readonly("total_frame_count", [](Session& s) { return s.any().total_frame_count(); });
  add_fast_method(m.attr("VelquinSession"), log_frame_method);
  add_fast_method(m.attr("VelquinSession"), update_frame_method);
}

}  // namespace tessaline::python
