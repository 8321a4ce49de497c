#pragma once
// An HTTP server (cpp-httplib's, with its routing and handlers) in which a
// request must arrive whole — request line, headers and body — within a
// deadline from its first byte, besides the per-read timeout. A client
// that trickles a byte now and then therefore holds a worker for the
// deadline at most, and idle keep-alive connections are closed after the
// keep-alive timeout, so neither can starve the worker pool.
#include <httplib.h>

#include <chrono>

namespace kit::http {

class DeadlineServer : public httplib::Server {
 public:
  explicit DeadlineServer(std::chrono::milliseconds request_deadline) : request_deadline_(request_deadline) {}

 private:
  bool process_and_close_socket(socket_t sock) override;

  std::chrono::milliseconds request_deadline_;
};

}  // namespace kit::http
