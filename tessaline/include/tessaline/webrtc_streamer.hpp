#pragma once
// WebRTC video streaming for robot cameras, and the browser's control
// channel. One streamer serves one capture session. Its asynchronous
// operations run on the owner's asio event loop (the session's); GStreamer
// events are posted there too, so the handlers run on that loop.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/json/text.hpp"
#include "kit/webrtc/peer_connection.hpp"
#include "tessaline/values.hpp"

namespace tessaline {

using Json = kit::json::Json;

// One outgoing camera track: sends a new frame as soon as it arrives (but
// not sooner than half a frame period after the previous one), and the
// latest frame again when none came for a whole period (30 frames/s); a
// black 640x480 frame until the first one arrives.
class CameraVideoTrack : public std::enable_shared_from_this<CameraVideoTrack> {
 public:
  explicit CameraVideoTrack(std::string camera_name = "cam_");

  const std::string camera_name;
  // Any thread: swaps the latest frame (shared, never copied or torn) and
  // wakes a waiting recv().
  void update_frame(NdArray frame);
  std::shared_ptr<const NdArray> latest_frame() const;  // null until the first update
  // Loop thread: waits for a new frame or the period's end; returns the frame to send.
  asio::awaitable<NdArray> recv();

 private:
  std::atomic<std::shared_ptr<const NdArray>> latest_frame_;
  std::atomic<uint64_t> generation_{0};  // frames updated so far
  uint64_t sent_generation_ = 0;
  std::optional<asio::steady_timer> clock_;
  std::chrono::steady_clock::time_point last_sent_{};
  std::mutex wake_mutex_;  // guards executor_ and waiting_
  std::optional<asio::any_io_executor> executor_;
  bool waiting_ = false;
};

class WebRTCStreamer {
 public:
  using CommandCallback = std::function<void(const std::string&)>;

  // Without a user id, blocks for the browser sign-in (STUDIO_URL, port 8765).
  explicit WebRTCStreamer(std::string signaling_url, CommandCallback on_command = nullptr,
                          std::optional<std::string> user_id = std::nullopt);
  ~WebRTCStreamer();
  WebRTCStreamer(const WebRTCStreamer&) = delete;
  WebRTCStreamer& operator=(const WebRTCStreamer&) = delete;

  const std::string user_id;
  const std::string signaling_url;
  // Sent with every offer: the studio tells this session's episodes from
  // those of an earlier session that never ended.
  const std::string session_id;

  // ---- loop thread ----
  asio::awaitable<void> create_peer_connection(std::vector<std::string> camera_names);
  // Offer, own candidates, answer; the candidate poll keeps running after.
  asio::awaitable<void> connect(std::vector<std::string> camera_names);
  asio::awaitable<void> _send_candidates_from_sdp(std::string sdp);
  asio::awaitable<std::optional<Json>> _poll_answer();
  asio::awaitable<void> _poll_ice_candidates();
  // Next command, or none when `timeout` seconds pass first (none: forever).
  asio::awaitable<std::optional<std::string>> wait_for_command(std::optional<double> timeout = std::nullopt);
  asio::awaitable<void> close();  // idempotent; browser values and queued commands stay
  // Sends {"status": ..., <data keys>} if the channel is open; dropped otherwise.
  void send_status(const std::string& status, const Json& data = Json::object());
  // Sends any other message of the control channel the same way.
  void send_message(const Json& message);
  // The control channel's "message" handler (public for tests and fuzzing).
  void _on_control_message(const std::string& text);

  // ---- any thread ----
  void update_camera_frame(const std::string& camera_name, NdArray frame);
  bool is_connected() const;
  Json dataset_name() const;      // null when the browser gave none
  Json repo_id() const;           // null when the browser gave none
  Json selected_cameras() const;  // [] until the browser chose
  bool has_peer_connection() const;
  void _set_repo_id(Json value);  // the session's own repository name, until the browser sends one
  void _set_robot_type(std::string value);  // told with the offer, so the page names the joints from the start

 private:
  struct Signaling;
  void on_channel_open(const std::vector<std::string>& camera_names);
  void on_connection_state(const std::string& state);
  void wake_command_waiters();
  void send_text(const std::string& text);  // on the control channel, when open
  asio::awaitable<void> pump_track(std::shared_ptr<CameraVideoTrack> track,
                                   std::shared_ptr<kit::webrtc::VideoTrack> sender);
  asio::awaitable<void> watch_peer();

  CommandCallback _on_command;
  std::optional<asio::any_io_executor> executor_;  // the loop, known from create_peer_connection on
  mutable std::mutex mutex_;  // guards the fields read from other threads, below
  std::shared_ptr<kit::webrtc::PeerConnection> peer_connection;
  std::map<std::string, std::shared_ptr<CameraVideoTrack>> video_tracks;
  Json _dataset_name;
  Json _repo_id;
  std::string _robot_type;
  Json _selected_cameras = Json::array();

  // Loop thread only.
  bool _running = false;
  bool _session = false;  // an HTTP session is open (requests go through a shared I/O pool)
  bool _control_channel = false;
  std::deque<std::string> _command_queue;
  std::vector<asio::steady_timer*> command_waiters_;
  std::shared_ptr<Signaling> signaling_;  // the poll tasks and their timers
};

}  // namespace tessaline
