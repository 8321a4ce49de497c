// The transport pieces for Python: the frame-logging client, the WebRTC
// streamer (its operations as awaitables of the caller's asyncio loop) and
// the browser sign-in.
#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <asio/co_spawn.hpp>
#include <memory>

#include "kit/loop/event_loop.hpp"
#include "python/bindings/actions.hpp"
#include "python/bindings/arrays.hpp"
#include "python/bindings/bindings.hpp"
#include "python/bindings/fast_call.hpp"
#include "python/bindings/json.hpp"
#include "python/bindings/waiting.hpp"
#include "tessaline/auth.hpp"
#include "tessaline/grpc_client.hpp"
#include "tessaline/webrtc_streamer.hpp"

namespace tessaline::python {
namespace {

// Draining the client may take long: without the GIL.
struct ReleasingDelete {
  template <typename T>
  void operator()(T* p) const {
    py::gil_scoped_release release;
    delete p;
  }
};

// The logged action as the client takes it: a list of numbers (a tuple, as
// not a list, leaves the frame without an action).
kit::Value action_value(py::handle action) {
  if (py::isinstance<py::tuple>(action) || action.is_none()) return kit::None{};
  kit::List values;
  for (const double v : action_numbers(action)) values.emplace_back(v);
  return values;
}

// A Python object that threads without the GIL may hold: dropped with it.
std::shared_ptr<py::object> held_with_gil(py::object object) {
  return std::shared_ptr<py::object>(new py::object(std::move(object)), [](py::object* o) {
    if (_Py_IsFinalizing()) {
      o->release();  // the interpreter is going: nothing to give it back to
    } else {
      py::gil_scoped_acquire gil;
      o->dec_ref();
      o->release();
    }
    delete o;
  });
}

// A streamer with its own event loop, so its asynchronous operations can
// be awaited from any asyncio loop: each runs on this loop and settles a
// concurrent.futures.Future the Python side awaits.
class Streamer {
 public:
  Streamer(std::string signaling_url, std::optional<py::function> on_command, std::optional<std::string> user_id) {
    WebRTCStreamer::CommandCallback callback;
    if (on_command) {
      auto handler = held_with_gil(std::move(*on_command));
      callback = [handler](const std::string& command) {
        py::gil_scoped_acquire gil;
        try {
          (*handler)(command);
        } catch (py::error_already_set& e) {
          e.discard_as_unraisable("WebRTCStreamer on_command");
        }
      };
    }
    py::gil_scoped_release release;  // without a user id, the browser sign-in waits here
    streamer_ = std::make_unique<WebRTCStreamer>(std::move(signaling_url), std::move(callback), std::move(user_id));
  }
  ~Streamer() {
    if (loop_.running()) {
      try {
        loop_.run_blocking(streamer_->close(), std::chrono::seconds(5));
      } catch (const std::exception&) {
      }
    }
    loop_.stop(std::chrono::seconds(2));
  }

  WebRTCStreamer& streamer() { return *streamer_; }

  // Runs `work` on the loop; `future` (a concurrent.futures.Future) gets its result or error.
  template <typename T, typename Convert>
  void run(asio::awaitable<T> work, py::object future, Convert convert) {
    loop_.start();
    auto settle = held_with_gil(std::move(future));
    asio::co_spawn(loop_.context(), std::move(work), [settle, convert](std::exception_ptr error, auto... result) {
      py::gil_scoped_acquire gil;
      try {
        if (error) std::rethrow_exception(error);
        settle->attr("set_result")(convert(result...));
      } catch (py::error_already_set& e) {
        settle->attr("set_exception")(e.value());
      } catch (const std::exception& e) {
        settle->attr("set_exception")(py::module_::import("builtins").attr("RuntimeError")(e.what()));
      }
    });
  }
  void run_void(asio::awaitable<void> work, py::object future) {
    loop_.start();
    auto settle = held_with_gil(std::move(future));
    asio::co_spawn(loop_.context(), std::move(work), [settle](std::exception_ptr error) {
      py::gil_scoped_acquire gil;
      try {
        if (error) std::rethrow_exception(error);
        settle->attr("set_result")(py::none());
      } catch (const std::exception& e) {
        settle->attr("set_exception")(py::module_::import("builtins").attr("RuntimeError")(e.what()));
      }
    });
  }
  void post(std::function<void()> work) {
    loop_.start();
    loop_.post(std::move(work));
  }

 private:
  kit::EventLoop loop_;
  std::unique_ptr<WebRTCStreamer> streamer_;
};

const FastSignature kLogRobotData{"log_robot_data", {"observation", "action", "episode_end", "fps", "robot_type"}, 2};

PyObject* log_robot_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fast_call(self, args, nargs, kwnames, kLogRobotData, [](py::handle me, const FastArgs& given) {
    auto& client = bound_object<VelquinGrpcClient>(me);
    const py::dict observation = dict_argument(given[0], "observation");
    const bool episode_end = flag_argument(given[2], "episode_end");
    const auto fps = number_argument(given[3], "fps");
    auto robot_type = optional_text_argument(given[4], "robot_type");
    client.log_robot_data(std::make_shared<const kit::Record>(to_record(observation, Where("observation"))),
                          action_value(given[1]), episode_end, fps, std::move(robot_type));
  });
}

PyMethodDef log_robot_data_method{
    "log_robot_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(log_robot_data)),
    METH_FASTCALL | METH_KEYWORDS,
    "log_robot_data($self, /, observation, action, episode_end=False, fps=None, robot_type=None)\n--\n\n"
    "Queues one frame (a frame record and the action's numbers) for the workers; never waits."};

void bind_grpc_client(py::module_& m) {
  py::class_<VelquinGrpcClient, std::unique_ptr<VelquinGrpcClient, ReleasingDelete>>(m, "VelquinGrpcClient")
      .def(py::init<std::string, std::string>(), py::arg("server_url") = "", py::arg("user_id") = "default")
      .def("wait_pending", [](VelquinGrpcClient& c, double timeout) {
        without_interrupts([&] { c.wait_pending(timeout); });
      }, py::arg("timeout") = 5.0)
      .def("shutdown", [](VelquinGrpcClient& c) { without_interrupts([&] { c.shutdown(); }); })
      .def("end_episode", [](VelquinGrpcClient& c, std::optional<std::string> url) {
        bool ok = false;
        without_interrupts([&] { ok = c.end_episode(std::move(url)); });
        return ok;
      }, py::arg("http_server_url") = py::none())
      .def("reset_episode", [](VelquinGrpcClient& c, std::optional<std::string> url) {
        bool ok = false;
        without_interrupts([&] { ok = c.reset_episode(std::move(url)); });
        return ok;
      }, py::arg("http_server_url") = py::none())
      .def("close", &VelquinGrpcClient::close)
      .def_readwrite("user_id", &VelquinGrpcClient::user_id)
      .def_readwrite("repo_id", &VelquinGrpcClient::repo_id)
      .def_property_readonly("location", &VelquinGrpcClient::location)
      .def_property_readonly("pending_count", &VelquinGrpcClient::pending_count)
      .def_property_readonly("frames_sent", &VelquinGrpcClient::frames_sent)
      .def_property_readonly("frames_failed", &VelquinGrpcClient::frames_failed);
  add_fast_method(m.attr("VelquinGrpcClient"), log_robot_data_method);
}

void bind_streamer(py::module_& m) {
  py::class_<Streamer, std::unique_ptr<Streamer, ReleasingDelete>>(m, "WebRTCStreamer")
      .def(py::init<std::string, std::optional<py::function>, std::optional<std::string>>(), py::arg("signaling_url"),
           py::arg("on_command") = py::none(), py::arg("user_id") = py::none())
      .def("_connect", [](Streamer& s, std::vector<std::string> camera_names, py::object future) {
        s.run_void(s.streamer().connect(std::move(camera_names)), std::move(future));
      })
      .def("_wait_for_command", [](Streamer& s, std::optional<double> timeout, py::object future) {
        s.run(s.streamer().wait_for_command(timeout), std::move(future),
              [](const std::optional<std::string>& command) { return py::cast(command); });
      })
      .def("_close", [](Streamer& s, py::object future) { s.run_void(s.streamer().close(), std::move(future)); })
      .def("send_status", [](Streamer& s, const std::string& status, py::handle data) {
        kit::json::Json extra = data.is_none() ? kit::json::Json::object() : to_json(data, "data");
        if (!extra.is_object()) throw py::type_error("data must be a dict of the status's extra fields");
        s.post([&streamer = s.streamer(), status, extra] { streamer.send_status(status, extra); });
      }, py::arg("status"), py::arg("data") = py::none())
      .def("update_camera_frame", [](Streamer& s, const std::string& camera_name, py::handle frame) {
        s.streamer().update_camera_frame(camera_name, lend_image(frame, Where("frame")));
      }, py::arg("camera_name"), py::arg("frame"))
      .def_property_readonly("user_id", [](Streamer& s) { return s.streamer().user_id; })
      .def_property_readonly("signaling_url", [](Streamer& s) { return s.streamer().signaling_url; })
      .def_property_readonly("is_connected", [](Streamer& s) { return s.streamer().is_connected(); })
      .def_property_readonly("dataset_name", [](Streamer& s) { return from_json(s.streamer().dataset_name()); })
      .def_property_readonly("repo_id", [](Streamer& s) { return from_json(s.streamer().repo_id()); })
      .def_property_readonly("selected_cameras", [](Streamer& s) { return from_json(s.streamer().selected_cameras()); });
}

}  // namespace

void bind_transport(py::module_& m) {
  bind_grpc_client(m);
  bind_streamer(m);
  m.def("authenticate_with_browser", [](const std::string& frontend_url, int callback_port) {
    py::gil_scoped_release release;
    return authenticate_with_browser(frontend_url, callback_port);
  }, py::arg("frontend_url") = "http://localhost:8787", py::arg("callback_port") = 8765);
}

}  // namespace tessaline::python
