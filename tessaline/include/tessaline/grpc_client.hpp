#pragma once
// Frame logging over Arrow Flight. Each frame becomes a one-row record batch
// put on the path "robot_data"; four workers convert and send under one
// write lock, so the caller never waits for the encoder or the network.
// Episode boundaries go to the backend's HTTP API. Reports on stdout.
//
// A frame the studio did not take (it is restarting, away, or its disk is
// full) is held, in memory up to a bound, and sent again — in order, before
// any newer frame — once the studio answers; episode ends, resets and the
// session's end wait for the held frames first. Each frame carries a
// "frame_id" (this client's token and its number), so a frame sent again
// after its answer was lost is taken once. A frame the studio refuses for
// good (a wrong schema, no token) is reported and dropped.
//
// Called from one thread (the session's); workers touch only the Flight
// client and the batch they build.
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/flight/flight.hpp"
#include "kit/json/text.hpp"
#include "kit/pool/handoff.hpp"
#include "kit/pool/thread_pool.hpp"
#include "tessaline/values.hpp"

namespace tessaline {

class FrameSpool;

class VelquinGrpcClient {
 public:
  // An empty `server_url` means config::VELQUIN_GRPC_SERVER, read now.
  // Anything not starting with "grpc://" gets that prefix.
  explicit VelquinGrpcClient(std::string server_url = "", std::string user_id = "default");
  // Drains like shutdown(), without the per-frame limit.
  ~VelquinGrpcClient();
  VelquinGrpcClient(const VelquinGrpcClient&) = delete;
  VelquinGrpcClient& operator=(const VelquinGrpcClient&) = delete;

  // Non-blocking: queues the frame for a worker. fps and robot_type travel
  // only with the episode-end frame. Throws kit::PoolShutDown after shutdown().
  void log_robot_data(RecordPtr observation, Value action, bool episode_end = false,
                      std::optional<double> fps = std::nullopt,
                      std::optional<std::string> robot_type = std::nullopt);

  // Waits for each pending frame up to `timeout` seconds (each separately),
  // printing "gRPC call failed: ..." for failures and time-outs; then forgets them.
  void wait_pending(double timeout = 5.0);
  // wait_pending(), then waits without limit for every queued frame, stops
  // the workers and sends what is held (waiting up to 5 minutes for a
  // studio that is away; 5 s for one that never took a frame).
  void shutdown();

  // POSTs the episode boundary / discard, after the held frames (those not
  // taken in time are reported lost); prints the outcome, never throws for
  // HTTP failures. An empty URL means config::VELQUIN_HTTP_SERVER.
  // `quality`, when an object, is sent with the end (see VelquinSession::end_episode).
  bool end_episode(std::optional<std::string> http_server_url = std::nullopt, const kit::json::Json& quality = kit::json::Json());
  bool reset_episode(std::optional<std::string> http_server_url = std::nullopt);

  // Nothing to release: the workers keep running until shutdown().
  void close() {}

  // Scoped use: close() when the scope ends, however it ends.
  class Scope {
   public:
    explicit Scope(VelquinGrpcClient& client) : client_(client) {}
    ~Scope() { client_.close(); }
    VelquinGrpcClient& operator*() const { return client_; }
    VelquinGrpcClient* operator->() const { return &client_; }

   private:
    VelquinGrpcClient& client_;
  };
  [[nodiscard]] Scope scope() { return Scope(*this); }

  // The location after normalisation, e.g. "grpc://host:50051".
  const std::string& location() const { return location_; }
  size_t pending_count() const { return _pending_futures.size(); }
  // Frames the server accepted / frames that failed, since construction.
  size_t frames_sent() const { return frames_sent_.load(); }
  size_t frames_failed() const { return frames_failed_.load(); }
  // Frames held for the studio right now.
  size_t frames_held();

  // Whether the studio at `server_url` (empty: VELQUIN_GRPC_SERVER) takes
  // frames from this computer: a put of the frames' schema alone, which
  // stages nothing. Nothing when it does, else its answer ("unavailable:
  // ...", "unauthenticated: ..."). Waits at most 3 s.
  static std::optional<std::string> studio_problem(const std::string& server_url = "");

  // Sends the held frames, trying again until they are all taken or `limit`
  // passes; true when none is left. Says once that it waits, and why.
  bool send_held(std::chrono::milliseconds limit);

  // Internal steps, public for tests.
  bool _send_robot_data(RecordPtr observation, const Value& action, bool episode_end,
                        std::optional<double> fps, std::optional<std::string> robot_type,
                        std::optional<std::string> frame_id = std::nullopt);
  std::shared_ptr<kit::flight::RecordBatch> _observation_to_arrow(const Record& observation, const Value& action,
                                                                  bool episode_end, std::optional<double> fps,
                                                                  const std::optional<std::string>& robot_type,
                                                                  const std::optional<std::string>& frame_id = std::nullopt);

  std::unique_ptr<kit::flight::FlightClient> client;
  std::string user_id;
  std::optional<std::string> repo_id;  // sent with end_episode; set by the session

 private:
  std::string location_;
  std::atomic<size_t> frames_sent_{0};
  std::atomic<size_t> frames_failed_{0};
  size_t episode_frames_logged_ = 0;  // by the caller's thread, since the last episode end or reset
  std::mutex _write_lock;  // held over the conversion and put of one frame
  // Held frames, oldest first, and when to try the studio again; guarded by _write_lock.
  struct Held {
    std::shared_ptr<kit::flight::RecordBatch> batch;  // null when the frame waits on disk
    size_t bytes;                                      // in memory
    bool episode_end;
    std::filesystem::path spilled{};                   // its file, when on disk
  };
  std::deque<Held> _held;
  size_t _held_bytes = 0;
  size_t _held_bytes_at_most;           // in memory; more go to the spool
  std::filesystem::path _spool_parent;  // where the spool's folder is made
  std::unique_ptr<FrameSpool> _spool;   // made at the first frame memory has no room for
  std::chrono::steady_clock::time_point _next_try{};
  std::chrono::milliseconds _pause{100};
  std::string _away;            // why the studio did not take frames; empty while it does
  size_t _lost_for_room = 0;    // frames dropped because neither memory nor disk had room
  bool _put_held_locked(bool now);
  void drop_front_locked();
  void _put(const kit::flight::RecordBatch& batch);
  std::string _frame_token;  // this client's part of every frame_id
  uint64_t _next_frame = 0;  // caller's thread only
  kit::ThreadPool _executor{4, /*background=*/true};
  kit::Handoff _handoff{_executor};  // the caller's frames reach the workers without a wake-up per frame
  std::vector<std::future<bool>> _pending_futures;  // caller's thread only
};

}  // namespace tessaline
