#pragma once
// A real HTTP server on a free loopback port, serving on its own thread for
// the life of the object.
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace test_support {

class LocalHttpServer {
 public:
  LocalHttpServer() = default;
  ~LocalHttpServer() { stop(); }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  httplib::Server& server() { return server_; }

  // Binds 127.0.0.1 on a free port and starts serving; returns the base URL.
  std::string start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return base_url();
  }

  void stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// A loopback address where nothing listens (a port bound and released).
std::string closed_loopback_url();

}  // namespace test_support
