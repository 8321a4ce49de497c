#pragma once
// Frame logging over Arrow Flight. Each frame becomes a one-row record batch
// put on the path "robot_data"; four workers convert and send under one
// write lock, so the caller never waits for the encoder or the network.
// Episode boundaries go to the backend's HTTP API. Reports on stdout.
//
// Called from one thread (the session's); workers touch only the Flight
// client and the batch they build.
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/flight/flight.hpp"
#include "kit/pool/handoff.hpp"
#include "kit/pool/thread_pool.hpp"
#include "tessaline/values.hpp"

namespace tessaline {

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
  // wait_pending(), then waits without limit for every queued frame and
  // stops the workers.
  void shutdown();

  // POSTs the episode boundary / discard; prints the outcome, never throws
  // for HTTP failures. An empty URL means config::VELQUIN_HTTP_SERVER.
  bool end_episode(std::optional<std::string> http_server_url = std::nullopt);
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

  // Internal steps, public for tests.
  bool _send_robot_data(const Record& observation, const Value& action, bool episode_end,
                        std::optional<double> fps, std::optional<std::string> robot_type);
  std::shared_ptr<kit::flight::RecordBatch> _observation_to_arrow(const Record& observation, const Value& action,
                                                                  bool episode_end, std::optional<double> fps,
                                                                  const std::optional<std::string>& robot_type);

  std::unique_ptr<kit::flight::FlightClient> client;
  std::string user_id;
  std::optional<std::string> repo_id;  // sent with end_episode; set by the session

 private:
  std::string location_;
  std::atomic<size_t> frames_sent_{0};
  std::atomic<size_t> frames_failed_{0};
  std::mutex _write_lock;  // held over the conversion and put of one frame
  kit::ThreadPool _executor{4, /*background=*/true};
  kit::Handoff _handoff{_executor};  // the caller's frames reach the workers without a wake-up per frame
  std::vector<std::future<bool>> _pending_futures;  // caller's thread only
};

}  // namespace tessaline
