#include "tessaline/webrtc_streamer.hpp"

#include <netdb.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "async_http.hpp"
#include "signaling_text.hpp"
#include "kit/digest/digest.hpp"
#include "kit/log/logger.hpp"
#include "tessaline/auth.hpp"
#include "tessaline/build_info.hpp"
#include "tessaline/config.hpp"

namespace tessaline {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

kit::log::Logger& logger() { return kit::log::get_logger("tessaline.webrtc_streamer"); }

constexpr auto kFramePeriod = std::chrono::microseconds(33'333);  // the tracks' clock: 30 frames/s
constexpr auto kPeerCheckInterval = 2s;  // RTCP from the browser arrives ~5 times a second
constexpr int kPeerCheckFailures = 3;    // 3 silent checks in a row: the browser is gone

const NdArray& black_frame() {
  static const NdArray frame(DType::uint8, {480, 640, 3});
  return frame;
}

// Waits on a timer; cancellation is not an error here.
asio::awaitable<void> wait(asio::steady_timer& timer, Clock::duration d) {
  timer.expires_after(d);
  std::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name) return "unknown";
  return name;
}

std::string host_ipv4() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return "unknown";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

std::vector<kit::webrtc::IceServer> ice_servers() {
  const std::string stun = build_info::STUN_HOST;
  const std::string turn = build_info::TURN_HOST;
  return {
      {{"stun:" + stun + ":19302"}, std::nullopt, std::nullopt},
      {{"turn:" + turn + ":80", "turn:" + turn + ":80?transport=tcp", "turn:" + turn + ":443",
        "turns:" + turn + ":443?transport=tcp"},
       config::TURN_USERNAME,
       config::TURN_CREDENTIAL},
  };
}


}  // namespace

// ---- CameraVideoTrack ----

CameraVideoTrack::CameraVideoTrack(std::string name) : camera_name(std::move(name)) {}

void CameraVideoTrack::update_frame(NdArray frame) {
  latest_frame_.store(std::make_shared<const NdArray>(std::move(frame)));
  generation_.fetch_add(1);
  std::lock_guard lock(wake_mutex_);
  if (!waiting_ || !executor_) return;
  waiting_ = false;
  asio::post(*executor_, [weak = weak_from_this()] {
    if (const auto track = weak.lock(); track && track->clock_) track->clock_->cancel();
  });
}

std::shared_ptr<const NdArray> CameraVideoTrack::latest_frame() const { return latest_frame_.load(); }

asio::awaitable<NdArray> CameraVideoTrack::recv() {
  if (!clock_) {
    const auto executor = co_await asio::this_coro::executor;
    clock_.emplace(executor);
    std::lock_guard lock(wake_mutex_);
    executor_ = executor;
  }
  // Never faster than twice the track's rate, whatever the camera does.
  const auto earliest = last_sent_ + kFramePeriod / 2;
  const auto deadline = std::max(last_sent_ + kFramePeriod, Clock::now());
  asio::error_code ignored;
  while (Clock::now() < earliest) {  // a wake-up meant for an earlier wait may cut this one short
    clock_->expires_at(earliest);
    co_await clock_->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  while (generation_.load() == sent_generation_ && Clock::now() < deadline) {
    {
      std::lock_guard lock(wake_mutex_);
      if (generation_.load() != sent_generation_) break;  // arrived meanwhile
      waiting_ = true;
    }
    clock_->expires_at(deadline);
    co_await clock_->async_wait(asio::redirect_error(asio::use_awaitable, ignored));  // a new frame cancels it
    std::lock_guard lock(wake_mutex_);
    waiting_ = false;
  }
  sent_generation_ = generation_.load();
  last_sent_ = Clock::now();
  auto frame = latest_frame();
  if (!frame) co_return black_frame();
  NdArray out = *frame;
  // A borrowed frame is sent once as it is; the repeats sent while no newer
  // one comes use a copy kept here, so the caller's buffer is theirs again
  // as soon as this sending is done with it.
  if (frame->borrowed()) {
    latest_frame_.compare_exchange_strong(frame, std::make_shared<const NdArray>(frame->copy()));
  }
  co_return out;
}

// ---- signaling state shared with the poll tasks ----

struct WebRTCStreamer::Signaling {
  explicit Signaling(const asio::any_io_executor& ex) : answer_wait(ex), ice_wait(ex), ice_done(ex) {}
  asio::steady_timer answer_wait;
  asio::steady_timer ice_wait;
  asio::steady_timer ice_done;  // cancelled when the candidate poll ends
  bool ice_task = false;        // the candidate poll is running
  bool ice_cancelled = false;
};

WebRTCStreamer::WebRTCStreamer(std::string url, CommandCallback on_command, std::optional<std::string> id)
    : user_id(id ? *id : (logger().debug("Authenticating with studio..."),
                          authenticate_with_browser(config::STUDIO_URL, 8765))),
      signaling_url(std::move(url)),
      session_id(kit::random_hex(8)),
      _on_command(std::move(on_command)) {}

WebRTCStreamer::~WebRTCStreamer() {
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = std::move(peer_connection);
  }
  if (pc) pc->close();
}

asio::awaitable<void> WebRTCStreamer::create_peer_connection(std::vector<std::string> camera_names) {
  const auto executor = co_await asio::this_coro::executor;
  executor_ = executor;
  kit::webrtc::PeerEvents events;
  // Events arrive here through post(), on the loop; `this` outlives the
  // connection because close() and the destructor close it first.
  events.on_connection_state = [this](const std::string& state) { on_connection_state(state); };
  events.on_channel_open = [this, camera_names] { on_channel_open(camera_names); };
  events.on_channel_message = [this](const std::string& text) { _on_control_message(text); };
  events.on_channel_close = [this] { on_connection_state("closed"); };
  auto pc = std::make_shared<kit::webrtc::PeerConnection>(
      ice_servers(), std::move(events), [executor](std::function<void()> fn) { asio::post(executor, std::move(fn)); });
  std::vector<std::pair<std::shared_ptr<CameraVideoTrack>, std::shared_ptr<kit::webrtc::VideoTrack>>> senders;
  for (const auto& name : camera_names) {
    auto track = std::make_shared<CameraVideoTrack>(name);
    senders.emplace_back(track, pc->add_video_track(name));
  }
  pc->create_data_channel("control");
  {
    std::lock_guard lock(mutex_);
    peer_connection = pc;
    for (const auto& [track, sender] : senders) video_tracks[track->camera_name] = track;
  }
  _control_channel = true;
  for (const auto& [track, sender] : senders) asio::co_spawn(executor, pump_track(track, sender), asio::detached);
  if (!senders.empty()) asio::co_spawn(executor, watch_peer(), asio::detached);
}

asio::awaitable<void> WebRTCStreamer::pump_track(std::shared_ptr<CameraVideoTrack> track,
                                                 std::shared_ptr<kit::webrtc::VideoTrack> sender) {
  for (;;) {
    NdArray frame = co_await track->recv();
    {
      std::lock_guard lock(mutex_);
      const auto it = video_tracks.find(track->camera_name);
      if (!peer_connection || it == video_tracks.end() || it->second != track) co_return;  // closed or replaced
    }
    sender->push_frame(frame);
  }
}

// The ICE agent here cannot be told to check consent every 2 s and give up
// after 3 failures, so the same rule is applied to what the browser sends:
// RTCP for our video arrives several times a second while it lives.
asio::awaitable<void> WebRTCStreamer::watch_peer() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  int silent = 0;
  for (;;) {
    co_await wait(timer, kPeerCheckInterval);
    std::shared_ptr<kit::webrtc::PeerConnection> pc;
    {
      std::lock_guard lock(mutex_);
      pc = peer_connection;
    }
    if (!pc) co_return;
    const auto last = pc->last_peer_activity();
    if (!last || pc->connection_state() != "connected") continue;
    silent = Clock::now() - *last > kPeerCheckInterval ? silent + 1 : 0;
    if (silent >= kPeerCheckFailures) {
      logger().debug("WebRTC: no word from the browser for {} s", silent * 2);
      on_connection_state("failed");
      co_return;
    }
  }
}

void WebRTCStreamer::on_channel_open(const std::vector<std::string>& camera_names) {
  logger().debug("WebRTC control channel opened");
  if (!_control_channel || camera_names.empty()) return;
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = peer_connection;
  }
  if (pc) pc->send_text(kit::json::to_wire(Json{{"type", "camera_names"}, {"names", camera_names}}));
}

void WebRTCStreamer::on_connection_state(const std::string& state) {
  if (!has_peer_connection()) return;
  logger().debug("WebRTC: {}", state);
  if ((state == "failed" || state == "closed") && executor_) {
    asio::co_spawn(*executor_, close(), asio::detached);
  }
}

void WebRTCStreamer::_on_control_message(const std::string& text) {
  using signaling_text::ControlMessage;
  const ControlMessage message = signaling_text::parse_control_message(text);
  if (message.kind == ControlMessage::Kind::invalid) {
    logger().warning("Invalid control message: {}", text);
    return;
  }
  if (message.kind == ControlMessage::Kind::ignored) return;
  logger().debug("WebRTC control: received command '{}'", message.command);
  {
    std::lock_guard lock(mutex_);
    if (message.repo_id) {
      _repo_id = *message.repo_id;
      logger().debug("Repo ID set to: {}", kit::json::py_str(_repo_id));
    }
    if (message.selected) {
      _selected_cameras = *message.selected;
      logger().debug("Selected cameras set to: {}", kit::json::py_str(_selected_cameras));
    }
    if (message.dataset_name) {
      _dataset_name = *message.dataset_name;
      logger().debug("Dataset name set to: {}", kit::json::py_str(_dataset_name));
    }
  }
  _command_queue.push_back(message.command);
  wake_command_waiters();
  if (_on_command) _on_command(message.command);
}

void WebRTCStreamer::wake_command_waiters() {
  for (auto* timer : command_waiters_) timer->cancel();
}

asio::awaitable<std::optional<std::string>> WebRTCStreamer::wait_for_command(std::optional<double> timeout) {
  const auto deadline = timeout ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(std::max(*timeout, 0.0)))
                                : Clock::time_point::max();
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (_command_queue.empty()) {
    if (Clock::now() >= deadline) co_return std::nullopt;
    timer.expires_at(deadline);
    command_waiters_.push_back(&timer);
    std::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    std::erase(command_waiters_, &timer);
  }
  std::string command = std::move(_command_queue.front());
  _command_queue.pop_front();
  co_return command;
}

void WebRTCStreamer::send_status(const std::string& status, const Json& data) {
  send_text(signaling_text::status_message(status, data));
}

void WebRTCStreamer::send_message(const Json& message) { send_text(kit::json::to_wire(message)); }

void WebRTCStreamer::send_text(const std::string& text) {
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = peer_connection;
  }
  if (!pc || !_control_channel || pc->channel_ready_state() != "open") return;
  pc->send_text(text);
}

void WebRTCStreamer::update_camera_frame(const std::string& camera_name, NdArray frame) {
  std::shared_ptr<CameraVideoTrack> track;
  {
    std::lock_guard lock(mutex_);
    const auto it = video_tracks.find(camera_name);
    if (it == video_tracks.end()) return;
    track = it->second;
  }
  track->update_frame(std::move(frame));
}

bool WebRTCStreamer::is_connected() const {
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = peer_connection;
  }
  return pc && pc->connection_state() == "connected" && _control_channel && pc->channel_ready_state() == "open";
}

Json WebRTCStreamer::dataset_name() const {
  std::lock_guard lock(mutex_);
  return _dataset_name;
}
Json WebRTCStreamer::repo_id() const {
  std::lock_guard lock(mutex_);
  return _repo_id;
}
Json WebRTCStreamer::selected_cameras() const {
  std::lock_guard lock(mutex_);
  return _selected_cameras;
}
void WebRTCStreamer::_set_repo_id(Json value) {
  std::lock_guard lock(mutex_);
  _repo_id = std::move(value);
}
void WebRTCStreamer::_set_robot_type(std::string value) {
  std::lock_guard lock(mutex_);
  _robot_type = std::move(value);
}
bool WebRTCStreamer::has_peer_connection() const {
  std::lock_guard lock(mutex_);
  return peer_connection != nullptr;
}
// ---- signaling ----

asio::awaitable<void> WebRTCStreamer::connect(std::vector<std::string> camera_names) {
  const auto executor = co_await asio::this_coro::executor;
  _session = true;
  signaling_ = std::make_shared<Signaling>(executor);
  co_await create_peer_connection(camera_names);
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = peer_connection;
  }
  if (!pc) throw std::runtime_error("peer connection was not created");

  // Offer with the locally gathered candidates.
  asio::steady_timer offer_ready(executor, Clock::time_point::max());
  std::string sdp, offer_error;
  pc->create_offer([&](std::string s, std::string e) {
    sdp = std::move(s);
    offer_error = std::move(e);
    offer_ready.cancel();
  });
  std::error_code ec;
  co_await offer_ready.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (!offer_error.empty()) throw std::runtime_error("Failed to create offer: " + offer_error);
  if (sdp.empty()) throw std::runtime_error("no local description");

  Json offer{{"type", "offer"},       {"sdp", sdp},           {"userId", user_id},
             {"hostname", host_name()}, {"ip", host_ipv4()}, {"cameraNames", camera_names},
             {"sessionId", session_id}};
  {
    std::lock_guard lock(mutex_);
    if (!_robot_type.empty()) offer["robotType"] = _robot_type;
  }
  int status = 0;
  try {
    status = (co_await async_http::post_json(signaling_url + "/webrtc/offer", offer, 5.0)).status;
  } catch (const kit::http::StatusError& e) {
    status = e.status;
  }
  if (status != 200) throw std::runtime_error("Failed to send offer: " + std::to_string(status));
  co_await _send_candidates_from_sdp(sdp);
  _running = true;
  auto signaling = signaling_;
  signaling->ice_task = true;
  asio::co_spawn(executor, _poll_ice_candidates(), [signaling](std::exception_ptr) {
    signaling->ice_task = false;
    signaling->ice_done.cancel();
  });

  std::exception_ptr failure;
  try {
    const auto answer = co_await _poll_answer();
    if (!answer) throw std::runtime_error("Polling stopped before receiving an answer");
    const std::string type = signaling_text::description_type(*answer);
    asio::steady_timer applied(executor, Clock::time_point::max());
    std::string apply_error;
    pc->set_remote_description(type, (*answer)["sdp"].get<std::string>(), [&](std::string e) {
      apply_error = std::move(e);
      applied.cancel();
    });
    co_await applied.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!apply_error.empty()) throw std::runtime_error("Failed to set remote description: " + apply_error);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    _running = false;
    signaling->ice_cancelled = true;
    signaling->ice_wait.cancel();
    co_await close();
    std::rethrow_exception(failure);
  }
}

asio::awaitable<void> WebRTCStreamer::_send_candidates_from_sdp(std::string sdp) {
  if (!_session) throw std::logic_error("no HTTP session");
  for (const Json& body : signaling_text::candidate_bodies_from_sdp(sdp, user_id)) {
    try {
      co_await async_http::post_json(signaling_url + "/webrtc/ice", body, 1.0);
    } catch (const std::exception&) {
      // The browser may then lack this candidate; the others still go.
    }
  }
}

asio::awaitable<std::optional<Json>> WebRTCStreamer::_poll_answer() {
  if (!_session) throw std::logic_error("no HTTP session");
  auto signaling = signaling_;
  while (_running) {
    try {
      const auto res = co_await async_http::get(signaling_url + "/webrtc/answer?userId=" + user_id, 1.0);
      if (res.status == 200) {
        Json answer = res.json();
        if (answer.is_object() && answer.contains("sdp") && answer["sdp"].is_string() &&
            !answer["sdp"].get<std::string>().empty()) {
          co_return answer;
        }
      }
    } catch (const std::exception&) {
      // Not there yet, or the backend is unreachable for a moment: ask again.
    }
    co_await wait(signaling->answer_wait, 1s);
  }
  co_return std::nullopt;
}

asio::awaitable<void> WebRTCStreamer::_poll_ice_candidates() {
  if (!_session) throw std::logic_error("no HTTP session");
  auto signaling = signaling_;
  Json since = 0;
  for (;;) {
    std::shared_ptr<kit::webrtc::PeerConnection> pc;
    {
      std::lock_guard lock(mutex_);
      pc = peer_connection;
    }
    if (!_running || !pc || signaling->ice_cancelled) co_return;
    try {
      const auto res = co_await async_http::get(signaling_url + "/webrtc/ice?userId=" + user_id +
                                                     "&receiver=robot&since=" + kit::json::py_str(since),
                                                 1.0);
      if (res.status == 200) {
        const Json body = res.json();
        const Json candidates = body.value("candidates", Json::array());
        for (const auto& c : candidates) {
          if (!c.is_object()) throw std::runtime_error("candidate entry is not an object");
        }
        for (const auto& c : candidates) {
          const std::string text = c.value("candidate", Json("")).is_string() ? c.value("candidate", "") : "";
          if (text.empty() || text.find(".local") != std::string::npos) continue;
          try {
            const Json index = c.value("sdpMLineIndex", Json());
            pc->add_ice_candidate(index.is_number_integer() ? index.get<int>() : -1, text);
          } catch (const std::exception& e) {
            logger().debug("Skipping remote candidate: {}", e.what());
          }
        }
        if (body.contains("nextSince")) since = body["nextSince"];
      }
    } catch (const std::exception&) {
      // A failed cycle is repeated with the same cursor.
    }
    co_await wait(signaling->ice_wait, 500ms);
  }
}

asio::awaitable<void> WebRTCStreamer::close() {
  _running = false;
  if (auto signaling = signaling_) {
    signaling->answer_wait.cancel();
    if (signaling->ice_task) {
      signaling->ice_cancelled = true;
      signaling->ice_wait.cancel();
      signaling->ice_done.expires_at(Clock::time_point::max());
      std::error_code ec;
      while (signaling->ice_task) co_await signaling->ice_done.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }
  std::shared_ptr<kit::webrtc::PeerConnection> pc;
  {
    std::lock_guard lock(mutex_);
    pc = std::move(peer_connection);
    peer_connection = nullptr;
    video_tracks.clear();
  }
  if (pc) {
    try {
      pc->close(std::chrono::seconds(2));
    } catch (const std::exception&) {
      // Closing always completes.
    }
  }
  _session = false;
  // The poll timers belong to this loop, which the owner may stop and
  // destroy next; coroutines still holding them release theirs with it.
  signaling_.reset();
}

}  // namespace tessaline
