#pragma once
// An HTTP server (cpp-httplib's, with its routing and handlers) that only
// gives a worker thread to a request that has arrived. One gate thread
// holds every connection between requests and reads each request's head
// (and a small body) itself; silent, idle, trickling or header-flooding
// clients therefore wait at the gate, costing a socket and a small buffer,
// never a worker. At the gate:
//   - a new or kept-alive connection that sends nothing for `idle` is closed;
//   - a request must arrive whole within `request_deadline` of its first
//     byte (408 otherwise);
//   - a request head past `max_header_bytes` or `max_header_count` is
//     refused with 431;
//   - connections are bounded in total and per client address (loopback
//     peers share only the total): past either, a new one gets 503; part
//     of the total is kept for loopback and for addresses that showed they
//     belong (trust_client), so strangers, however many addresses they
//     come from, cannot take every connection.
// Bodies larger than `prefetch_body_bytes` are read by the worker, through
// the same deadline.
#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace kit::http {

struct ServerLimits {
  size_t workers = 64;
  std::chrono::milliseconds request_deadline{5000};
  std::chrono::milliseconds idle{2000};  // before the first byte, and between kept-alive requests
  size_t max_header_bytes = 16 << 10;
  size_t max_header_count = 100;
  size_t prefetch_body_bytes = 64 << 10;
  size_t max_connections = 4096;  // lowered to what the open-files limit allows
  size_t max_connections_per_address = 64;
  size_t reserved_connections = 0;  // of max_connections: for loopback and trusted addresses only
  std::chrono::minutes trusted_for{60};
  // How long a worker that served a request waits for the connection's
  // next one before handing it back to the gate.
  std::chrono::milliseconds linger{2};
};

class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(ServerLimits limits);
  ~GuardedServer() override;

  const ServerLimits& limits() const { return limits_; }
  // The address showed it belongs (a token, a signed-in session): its
  // connections may use the reserved ones for a while.
  void trust_client(const std::string& address);

 private:
  class Gate;
  struct Connection;
  // httplib calls this on its accepting thread (the task queue runs it
  // inline): the connection goes to the gate.
  bool process_and_close_socket(socket_t sock) override;
  // On a worker: a request, and the next ones that follow at once; then the
  // connection goes back to the gate.
  void serve(Connection connection);
  enum class Next { kReady, kClosed, kLater };
  Next linger(Connection& connection);

  ServerLimits limits_;
  Gate* gate_ = nullptr;  // owned by httplib as the task queue while listening
};

}  // namespace kit::http
