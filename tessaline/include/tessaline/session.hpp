#pragma once
// VelquinSession: one capture run's link to the operator's browser (live
// video, commands, statuses) and to the backend (frames, episodes, export).
//
// Every long operation comes in two forms, as the `blocking` argument of the
// design says: the plain call runs it on the session's background event
// loop and waits with a limit (errors and time-outs are thrown here); the
// overload taking `tessaline::non_blocking` returns the not-yet-started
// awaitable for the caller's own asio loop and starts no thread.
//
// Threads: the caller's thread makes every call and owns the counters; the
// background loop runs the streamer; the logging client has four workers.
#include <asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/loop/event_loop.hpp"
#include "tessaline/grpc_client.hpp"
#include "tessaline/values.hpp"
#include "tessaline/webrtc_streamer.hpp"

namespace tessaline {

struct NonBlocking {};
inline constexpr NonBlocking non_blocking{};

class VelquinSession {
 public:
  // An empty `server_url` means config::VELQUIN_HTTP_SERVER; no user id
  // means browser sign-in (blocking). Starts nothing.
  VelquinSession(std::vector<std::string> camera_names, std::string repo_id = "dataset",
                 std::string robot_type = "unknown", int fps = 30, std::string server_url = "",
                 std::optional<std::string> user_id = std::nullopt);
  ~VelquinSession();  // stops the loop (2 s) and the logging workers if close() was not called
  VelquinSession(const VelquinSession&) = delete;
  VelquinSession& operator=(const VelquinSession&) = delete;

  // Blocks up to timeout + 5 s. False when the browser did not connect in
  // time — also when it never answered: the abandoned connect is stopped.
  bool connect(double timeout = 15.0);
  asio::awaitable<bool> connect(double timeout, NonBlocking);

  // The next browser command, or none after `timeout` s (blocks up to timeout + 1 s).
  std::optional<std::string> wait_for_command(double timeout = 1.0);
  asio::awaitable<std::optional<std::string>> wait_for_command(double timeout, NonBlocking);

  // Drains and stops the logging client, asks for the export (when frames
  // were logged and `export_dataset`), closes the streamer; blocks up to
  // 60 s, then stops the loop thread (joined at most 2 s).
  void close(bool export_dataset = true);
  asio::awaitable<void> close(bool export_dataset, NonBlocking);

  void update_frame(const std::string& camera_key, NdArray frame);  // caller's thread, no hop
  // Non-blocking; the record is shared, not copied.
  void log_frame(RecordPtr observation, const std::vector<double>& action, bool episode_end = false);
  // Waits for pending frames first; `quality`, an object, goes with the
  // episode into the dataset (what the capture loop's EpisodeQuality sends).
  bool end_episode(const Json& quality = Json());
  bool reset_episode();  // waits for pending frames first
  // Scheduled onto the loop once it runs; called directly before that.
  void send_status(const std::string& status, const Json& data = Json::object());
  // The recording episode's quality so far, for the page: {"type": "quality", ...}.
  void send_quality(const Json& quality);

  std::string user_id() const { return _streamer->user_id; }
  bool is_connected() const { return _streamer->is_connected(); }
  Json dataset_name() const { return _streamer->dataset_name(); }
  Json repo_id() const { return _streamer->repo_id(); }
  Json get_camera_selection() const { return _streamer->selected_cameras(); }
  long episode_index() const { return _episode_index; }
  long episode_frame_count() const { return _episode_frame_count; }
  long total_frame_count() const { return _total_frame_count; }
  // close() asked for the export and the studio refused it or did not answer.
  bool export_failed() const { return _export_failed; }
  bool loop_running() const { return _loop && _loop->running(); }

 private:
  asio::awaitable<bool> _connect_async(double timeout);
  asio::awaitable<void> _close_async(bool export_dataset);
  kit::EventLoop& _ensure_loop();
  void _cleanup_thread();

  std::string _server_url;
  std::vector<std::string> _camera_names;
  std::string _repo_id;
  std::string _robot_type;
  int _fps;
  std::unique_ptr<kit::EventLoop> _loop;
  std::unique_ptr<WebRTCStreamer> _streamer;
  std::unique_ptr<VelquinGrpcClient> _grpc;
  long _episode_index = 0;
  long _episode_frame_count = 0;
  long _total_frame_count = 0;
  bool _export_failed = false;
};

}  // namespace tessaline
