#include "tessaline/session.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cassert>
#include <stdexcept>

#include "kit/http/client.hpp"
#include "kit/log/logger.hpp"
#include "repo_id.hpp"
#include "studio_access.hpp"
#include "tessaline/config.hpp"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

kit::log::Logger& log() { return kit::log::get_logger(); }  // the root logger, as callers expect

std::string name_list(const std::vector<std::string>& names) {
  Json list = Json::array();
  for (const auto& n : names) list.push_back(n);
  return kit::json::py_repr(list);
}

std::optional<std::string> text_of(const Json& v) {
  if (v.is_string() && !v.get_ref<const std::string&>().empty()) return v.get<std::string>();
  return std::nullopt;
}

}  // namespace

VelquinSession::VelquinSession(std::vector<std::string> camera_names, std::string repo_id, std::string robot_type,
                               int fps, std::string server_url, std::optional<std::string> user_id)
    : _server_url(server_url.empty() ? config::VELQUIN_HTTP_SERVER : server_url),
      _camera_names(std::move(camera_names)),
      _repo_id(std::move(repo_id)),
      _robot_type(std::move(robot_type)),
      _fps(fps) {
  if (_server_url.empty()) throw std::invalid_argument("no backend URL: set VELQUIN_HTTP_SERVER or pass server_url");
  if (_fps <= 0) throw std::invalid_argument("fps must be a positive number of frames per second, not " + std::to_string(_fps));
  // Empty: the browser names the repository.
  if (const auto problem = _repo_id.empty() ? std::nullopt : repo_id_problem(_repo_id)) {
    throw std::invalid_argument("repo_id \"" + _repo_id + "\" " + *problem);
  }
  _streamer = std::make_unique<WebRTCStreamer>(_server_url, nullptr, std::move(user_id));
  _grpc = std::make_unique<VelquinGrpcClient>("", _streamer->user_id);
  _streamer->_set_robot_type(_robot_type);
  if (!_repo_id.empty()) {
    _streamer->_set_repo_id(_repo_id);
    _grpc->repo_id = _repo_id;
  }
}

VelquinSession::~VelquinSession() {
  if (_loop && _loop->running()) {
    // close() was not called (or timed out): stop the streamer's work on the
    // loop, then the loop itself, so no thread or pipeline outlives the session.
    try {
      _loop->run_blocking(_streamer->close(), 5s);
    } catch (const std::exception&) {
    }
    _cleanup_thread();
  }
}

kit::EventLoop& VelquinSession::_ensure_loop() {
  if (!_loop) _loop = std::make_unique<kit::EventLoop>();
  _loop->start();
  return *_loop;
}

void VelquinSession::_cleanup_thread() {
  if (!_loop) return;
  _loop->stop(2s);
  _loop.reset();
}

bool VelquinSession::connect(double timeout) {
  auto& loop = _ensure_loop();
  try {
    return loop.run_blocking(_connect_async(timeout), std::chrono::duration<double>(timeout + 5));
  } catch (const kit::LoopTimeout&) {
    // The browser never answered: stop the answer poll of the abandoned
    // connect (it ends with "Polling stopped before receiving an answer").
    log().error("WebRTC connection timeout");
    loop.post([streamer = _streamer.get(), &loop] {
      asio::co_spawn(loop.context(), streamer->close(), [](std::exception_ptr) {});
    });
    return false;
  }
}

asio::awaitable<bool> VelquinSession::connect(double timeout, NonBlocking) { return _connect_async(timeout); }

asio::awaitable<bool> VelquinSession::_connect_async(double timeout) {
  log().debug("Connecting WebRTC for cameras: {}", name_list(_camera_names));
  co_await _streamer->connect(_camera_names);
  log().debug("Waiting for WebRTC connection...");
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const int polls = static_cast<int>(timeout / 0.5);
  for (int i = 0; i < polls && !_streamer->is_connected(); ++i) {
    timer.expires_after(500ms);
    co_await timer.async_wait(asio::use_awaitable);
  }
  if (!_streamer->is_connected()) {
    log().error("WebRTC connection timeout");
    co_return false;
  }
  log().debug("WebRTC connected!");
  _streamer->send_status("waiting");
  co_return true;
}

std::optional<std::string> VelquinSession::wait_for_command(double timeout) {
  return _ensure_loop().run_blocking(_streamer->wait_for_command(timeout), std::chrono::duration<double>(timeout + 1));
}

asio::awaitable<std::optional<std::string>> VelquinSession::wait_for_command(double timeout, NonBlocking) {
  return _streamer->wait_for_command(timeout);
}

void VelquinSession::close(bool export_dataset) {
  _ensure_loop().run_blocking(_close_async(export_dataset), 60s);
  _cleanup_thread();
}

asio::awaitable<void> VelquinSession::close(bool export_dataset, NonBlocking) { return _close_async(export_dataset); }

asio::awaitable<void> VelquinSession::_close_async(bool export_dataset) {
  _grpc->shutdown();
  _grpc->close();
  if (export_dataset && _total_frame_count > 0) {
    // The operator's words name the export: the dataset name sent with
    // "end", else the repository id typed with "start" (a browser that went
    // away sent no "end"), else the session's own repository id (never "").
    std::string name = text_of(_streamer->dataset_name()).value_or(text_of(_streamer->repo_id()).value_or(_repo_id));
    if (name.empty()) name = "dataset";
    // The episodes ended: an open one is no part of the export.
    log().info("Exporting dataset '{}' with {} episode(s)...", name, _episode_index);
    try {
      const Json body{{"userId", _streamer->user_id}, {"repoId", name}, {"robotType", _robot_type}, {"fps", _fps}};
      const Json answer = kit::http::post_json(_server_url + "/sessions/end", body, kit::http::Seconds(30.0), studio_access::headers()).json();
      log().info("Dataset export started: {}", kit::json::py_str(answer));
    } catch (const std::exception& e) {
      log().error("Failed to export dataset: {}", e.what());
      _export_failed = true;
    }
  }
  log().debug("Closing WebRTC...");
  co_await _streamer->close();
}

void VelquinSession::update_frame(const std::string& camera_key, NdArray frame) {
  _streamer->update_camera_frame(camera_key, std::move(frame));
}

void VelquinSession::log_frame(RecordPtr observation, const std::vector<double>& action, bool episode_end) {
  List values;
  for (const double v : action) values.emplace_back(v);
  _grpc->log_robot_data(std::move(observation), Value(std::move(values)), episode_end, static_cast<double>(_fps),
                        _robot_type);
  ++_episode_frame_count;
  ++_total_frame_count;
}

bool VelquinSession::end_episode(const Json& quality) {
  _grpc->wait_pending();
  _grpc->repo_id = _repo_id.empty() ? text_of(_streamer->repo_id()) : std::optional<std::string>(_repo_id);
  const bool ok = _grpc->end_episode(_server_url, quality);
  if (ok) {
    log().info("Episode {} ended with {} frames", _episode_index, _episode_frame_count);
    log().info("(episode {} on the operator's page, which counts from 1)", _episode_index + 1);
    ++_episode_index;
    _episode_frame_count = 0;
  }
  return ok;
}

bool VelquinSession::reset_episode() {
  _grpc->wait_pending();
  const bool ok = _grpc->reset_episode(_server_url);
  if (ok) {
    log().info("Episode {} reset, {} frames cleared", _episode_index, _episode_frame_count);
    log().info("(episode {} on the operator's page, which counts from 1)", _episode_index + 1);
    _episode_frame_count = 0;
  }
  return ok;
}

void VelquinSession::send_status(const std::string& status, const Json& data) {
  if (_loop && _loop->running()) {
    _loop->post([streamer = _streamer.get(), status, data] { streamer->send_status(status, data); });
  } else {
    _streamer->send_status(status, data);
  }
}

void VelquinSession::send_quality(const Json& quality) {
  Json message = quality;
  message["type"] = "quality";
  if (_loop && _loop->running()) {
    _loop->post([streamer = _streamer.get(), message = std::move(message)] { streamer->send_message(message); });
  } else {
    _streamer->send_message(message);
  }
}

}  // namespace tessaline
