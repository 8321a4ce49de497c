#include "kit/http/deadline_server.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kit::http {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds to_ms(time_t sec, time_t usec) {
  return std::chrono::milliseconds(sec * 1000 + usec / 1000);
}

bool wait_for(int fd, short events, std::chrono::milliseconds limit) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, limit.count())));
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

void address_of(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  const int r = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                     : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  if (r != 0) return;
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(serv);
  }
}

// A connection read through a small buffer; reads fail once the current
// request's deadline has passed.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int fd, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout)
      : fd_(fd), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

  // Waits up to `idle` for the next request to begin; starts its deadline.
  bool next_request(std::chrono::milliseconds idle, std::chrono::milliseconds deadline) {
    if (begin_ == end_ && !wait_for(fd_, POLLIN, idle)) return false;
    deadline_ = Clock::now() + deadline;
    return true;
  }

  bool is_readable() const override {
    if (begin_ != end_) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return left.count() > 0 && wait_for(fd_, POLLIN, std::min(left, read_timeout_));
  }
  bool is_writable() const override { return wait_for(fd_, POLLOUT, write_timeout_); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      if (!is_readable()) return -1;
      if (size >= sizeof buffer_) return receive(ptr, size);  // a body: straight into the caller's buffer
      const ssize_t n = receive(buffer_, sizeof buffer_);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { address_of(fd_, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address_of(fd_, false, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  ssize_t receive(char* into, size_t size) {
    ssize_t n;
    do {
      n = ::recv(fd_, into, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  int fd_;
  std::chrono::milliseconds read_timeout_, write_timeout_;
  Clock::time_point deadline_;
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
};

}  // namespace

bool DeadlineServer::process_and_close_socket(socket_t sock) {
  DeadlineStream stream(sock, to_ms(read_timeout_sec_, read_timeout_usec_), to_ms(write_timeout_sec_, write_timeout_usec_));
  bool ok = false;
  for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    if (!stream.next_request(std::chrono::seconds(keep_alive_timeout_sec_), request_deadline_)) break;
    bool closed = false;
    ok = process_request(stream, left == 1, closed, nullptr);
    if (!ok || closed) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace kit::http
