#pragma once
// A real Flight server on loopback that keeps every put it receives, and can
// be told to hold puts (a stalled backend) until released.
#include <condition_variable>
#include <mutex>
#include <vector>

#include "kit/flight/flight.hpp"

namespace test_support {

class FlightRecorder {
 public:
  // On `port` (0: any free one), as a studio restarted on its port is.
  explicit FlightRecorder(int port = 0) : server_(on_port(port), [this](kit::flight::FlightPut& put) { on_put(put); }) {}

  int port() const { return server_.port(); }
  std::string location() const { return server_.location(); }
  std::string host_port() const { return "127.0.0.1:" + std::to_string(server_.port()); }

  std::vector<kit::flight::FlightPut> puts() {
    std::lock_guard lock(mutex_);
    return puts_;
  }

  // Blocks until `n` puts have arrived or `seconds` passed; returns the count.
  size_t wait_for_puts(size_t n, double seconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return puts_.size() >= n; });
    return puts_.size();
  }

  void hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      holding_ = false;
    }
    changed_.notify_all();
  }

  ~FlightRecorder() { release(); }

 private:
  static kit::flight::FlightServerOptions on_port(int port) {
    kit::flight::FlightServerOptions options;
    options.port = port;
    return options;
  }
  void on_put(kit::flight::FlightPut& put) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !holding_; });
    puts_.push_back(put);
    changed_.notify_all();
  }

  std::mutex mutex_;  // guards puts_, holding_
  std::condition_variable changed_;
  std::vector<kit::flight::FlightPut> puts_;
  bool holding_ = false;
  kit::flight::FlightServer server_;  // last: stops before the state it calls into
};

}  // namespace test_support
