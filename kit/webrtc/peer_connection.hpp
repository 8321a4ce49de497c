#pragma once
// A WebRTC peer connection on GStreamer's webrtcbin: outgoing VP8 video
// tracks fed with RGB frames, one data channel, offer / answer / candidates,
// and the connection and channel states. GStreamer calls back on its own
// threads; every event is handed to `post`, which the owner points at its
// event loop, so handlers never run on GStreamer threads.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/values/values.hpp"

namespace kit::webrtc {

struct WebRtcError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct IceServer {
  std::vector<std::string> urls;  // "stun:host:port", "turn:host:port?transport=tcp", "turns:..."
  std::optional<std::string> username;
  std::optional<std::string> credential;
};

struct PeerEvents {
  std::function<void(const std::string& state)> on_connection_state;  // "connected", "failed", ...
  std::function<void()> on_channel_open;
  std::function<void(const std::string& text)> on_channel_message;
  std::function<void()> on_channel_close;
};

class VideoTrack {
 public:
  virtual ~VideoTrack() = default;
  virtual const std::string& name() const = 0;
  // Hands one H x W x 3 RGB frame to the encoder. The pixels are shared,
  // not copied (unless rows need padding). Safe from any thread.
  virtual void push_frame(const kit::NdArray& rgb) = 0;
};

class PeerConnection {
 public:
  using Post = std::function<void(std::function<void()>)>;

  PeerConnection(const std::vector<IceServer>& ice_servers, PeerEvents events, Post post);
  ~PeerConnection();  // close()
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // Before create_offer(): one sending video track per call.
  std::shared_ptr<VideoTrack> add_video_track(const std::string& name);
  // Before create_offer(): an ordered data channel (there is one per connection).
  void create_data_channel(const std::string& label);

  // Starts the media, creates the offer, sets it as local description and
  // waits until local candidates are gathered; `done(sdp, error)` runs via post.
  void create_offer(std::function<void(std::string sdp, std::string error)> done);
  // `done(error)` runs via post; an empty error means success.
  void set_remote_description(const std::string& type, const std::string& sdp,
                              std::function<void(std::string error)> done);
  // Throws WebRtcError for a candidate the agent cannot take.
  void add_ice_candidate(int mline_index, const std::string& candidate);

  std::string connection_state() const;    // "new", "connecting", "connected", "disconnected", "failed", "closed"
  std::string channel_ready_state() const; // "connecting", "open", "closing", "closed", or "" without a channel
  bool send_text(const std::string& text);  // false when the channel is not open
  // Last time the peer sent RTCP for our video (it stops when the browser is gone).
  std::optional<std::chrono::steady_clock::time_point> last_peer_activity() const;

  // Stops media and ICE; events stop. Idempotent; waits at most `limit`.
  void close(std::chrono::milliseconds limit = std::chrono::seconds(2));

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace kit::webrtc
