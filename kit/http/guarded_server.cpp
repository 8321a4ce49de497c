#include "kit/http/guarded_server.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace kit::http {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds to_ms(time_t sec, time_t usec) { return std::chrono::milliseconds(sec * 1000 + usec / 1000); }

bool wait_for(int fd, short events, std::chrono::milliseconds limit) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, limit.count())));
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

std::string numeric_address(int fd, bool peer, int* port = nullptr) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  const int r = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                     : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  if (r != 0) return "";
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "";
  }
  if (port) *port = std::atoi(serv);
  return host;
}

bool loopback_peer(std::string_view address) {
  if (address.starts_with("::ffff:")) address.remove_prefix(7);
  return address.starts_with("127.") || address == "::1";
}

// Ends a connection whose request will not be read further: the answer
// goes out before the FIN; what the client already sent is dropped without
// being read as a request, so the close is not a reset that could lose the
// answer on its way.
void close_without_reading(int fd) {
  ::shutdown(fd, SHUT_WR);
  char sink[16 << 10];
  for (size_t dropped = 0; dropped < (1u << 20);) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
  ::close(fd);
}

void reply_and_close(int fd, std::string_view status_line) {
  const std::string text = "HTTP/1.1 " + std::string(status_line) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  [[maybe_unused]] const ssize_t sent = ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  close_without_reading(fd);
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// What the gate knows of the request at the front of a buffer. Framing is
// strict where servers and proxies have disagreed (which lets a request
// hide inside another's body): every line ends in CRLF, no bare CR, no
// folded header lines, at most one Content-Length (digits only), and never
// both a Content-Length and a Transfer-Encoding, which may only be chunked.
struct HeadScan {
  enum Verdict { kIncomplete, kReady, kTooLarge, kMalformed } verdict = kIncomplete;
  size_t head_bytes = 0;
  size_t body_bytes = 0;  // declared by Content-Length
  bool chunked = false;
};

HeadScan scan_head(const std::string& buffer, const ServerLimits& limits) {
  // The head ends at the first empty line (CRLF or bare LF, as the parser takes both).
  size_t end = std::string::npos, lines = 0;
  for (size_t at = 0; at < buffer.size();) {
    const size_t nl = buffer.find('\n', at);
    if (nl == std::string::npos) break;
    ++lines;
    if (nl == at || (nl == at + 1 && buffer[at] == '\r')) {
      end = nl + 1;
      break;
    }
    at = nl + 1;
  }
  if (end == std::string::npos) {
    const bool too_large = buffer.size() > limits.max_header_bytes || lines > limits.max_header_count + 1;
    return {too_large ? HeadScan::kTooLarge : HeadScan::kIncomplete};
  }
  if (end > limits.max_header_bytes || lines > limits.max_header_count + 2) return {HeadScan::kTooLarge};
  HeadScan scan{HeadScan::kReady, end};
  const HeadScan malformed{HeadScan::kMalformed};
  std::string_view head(buffer.data(), end);
  bool expect = false, has_length = false, has_encoding = false;
  for (size_t at = 0; at < head.size();) {
    const size_t nl = head.find('\n', at);
    if (nl == at || (nl == at + 1 && head[at] == '\r')) break;  // the empty line
    if (head[nl - 1] != '\r' || head.substr(at, nl - 1 - at).find('\r') != std::string_view::npos) return malformed;
    const std::string_view line = head.substr(at, nl - 1 - at);
    const bool request_line = at == 0;
    at = nl + 1;
    if (request_line) continue;
    if (line.front() == ' ' || line.front() == '\t') return malformed;  // obs-fold
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return malformed;
    const std::string_view name = line.substr(0, colon), value = trim(line.substr(colon + 1));
    if (name != trim(name)) return malformed;  // "Content-Length :" is read differently by different parsers
    if (iequals(name, "Expect")) expect = true;
    if (iequals(name, "Transfer-Encoding")) {
      if (has_encoding || !iequals(value, "chunked")) return malformed;
      has_encoding = scan.chunked = true;
    }
    if (iequals(name, "Content-Length")) {
      if (has_length || value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return malformed;
      }
      has_length = true;
      scan.body_bytes = std::stoul(std::string(value));
    }
  }
  if (head.size() < 2 || head[head.size() - 2] != '\r') return malformed;  // the empty line, as CRLF
  if (has_length && has_encoding) return malformed;
  // A small body with a declared length is read here too; anything else
  // (chunked, large, a client waiting for 100-continue) by the worker.
  if (expect || scan.chunked || scan.body_bytes > limits.prefetch_body_bytes) return scan;
  if (buffer.size() < end + scan.body_bytes) scan.verdict = HeadScan::kIncomplete;
  return scan;
}

// When an answer's head says "Connection: close", drops its "Keep-Alive"
// line (the server adds it to every answer it does not close itself).
bool strip_keep_alive_if_closing(std::string& head) {
  const size_t end = head.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  bool closing = false;
  size_t keep_alive = std::string::npos, keep_alive_end = 0;
  for (size_t at = head.find("\r\n") + 2; at < end + 2;) {
    const size_t eol = head.find("\r\n", at);
    const std::string_view line(head.data() + at, eol - at);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view name = line.substr(0, colon), value = trim(line.substr(colon + 1));
      if (iequals(name, "Connection") && iequals(value, "close")) closing = true;
      if (iequals(name, "Keep-Alive")) {
        keep_alive = at;
        keep_alive_end = eol + 2;
      }
    }
    at = eol + 2;
  }
  if (closing && keep_alive != std::string::npos) head.erase(keep_alive, keep_alive_end - keep_alive);
  return closing;
}

// A request for several byte ranges gets the whole entity instead (as a
// server may answer any Range): a multi-range answer repeats its body once
// per range, so a small request could ask for an answer thousands of
// times its size.
void drop_multiple_ranges(std::string& buffer, size_t head_bytes) {
  for (size_t at = buffer.find("\r\n") + 2; at < head_bytes;) {
    const size_t eol = buffer.find("\r\n", at);
    if (eol == std::string::npos || eol >= head_bytes) return;
    const std::string_view line(buffer.data() + at, eol - at);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && iequals(line.substr(0, colon), "Range") && line.find(',') != std::string_view::npos) {
      buffer.erase(at, eol + 2 - at);
      head_bytes -= eol + 2 - at;
      continue;
    }
    at = eol + 2;
  }
}

const char* refusal_status(HeadScan::Verdict verdict) {
  return verdict == HeadScan::kTooLarge ? "431 Request Header Fields Too Large" : "400 Bad Request";
}

// A connection read from what the gate has already taken in, then from the
// socket; reads fail once the request's deadline has passed.
class GateStream : public httplib::Stream {
 public:
  GateStream(int fd, std::string taken, Clock::time_point deadline, std::chrono::milliseconds read_timeout,
             std::chrono::milliseconds write_timeout)
      : fd_(fd), buffer_(std::move(taken)), deadline_(deadline), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

  bool is_readable() const override {
    if (begin_ < buffer_.size()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return left.count() > 0 && wait_for(fd_, POLLIN, std::min(left, read_timeout_));
  }
  bool is_writable() const override { return wait_for(fd_, POLLOUT, write_timeout_); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == buffer_.size()) {
      buffer_.clear();
      begin_ = 0;
      if (!is_readable()) return -1;
      if (size >= kChunk) {  // a body: straight into the caller's buffer
        const ssize_t n = receive(ptr, size);
        if (n > 0) consumed_ += static_cast<size_t>(n);
        return n;
      }
      buffer_.resize(kChunk);
      const ssize_t n = receive(buffer_.data(), kChunk);
      buffer_.resize(n > 0 ? static_cast<size_t>(n) : 0);
      if (n <= 0) return n;
    }
    const size_t n = std::min(size, buffer_.size() - begin_);
    std::memcpy(ptr, buffer_.data() + begin_, n);
    begin_ += n;
    consumed_ += n;
    return static_cast<ssize_t>(n);
  }

  // The answer's head comes in one write: an answer that closes the
  // connection says so alone, without the keep-alive terms.
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    if (answered_) return send_all(ptr, size);
    answered_ = true;
    // The library writes the header as it was set: a plain search spares
    // every other answer a copy of its head.
    if (std::string_view(ptr, size).find("\r\nConnection: close\r\n") == std::string_view::npos) return send_all(ptr, size);
    std::string head(ptr, size);
    if (!strip_keep_alive_if_closing(head)) return send_all(ptr, size);
    closing_ = true;
    return send_all(head.data(), head.size()) < 0 ? -1 : static_cast<ssize_t>(size);
  }

  // Bytes of the connection the request's reading took.
  size_t consumed() const { return consumed_; }
  // The answer said "Connection: close".
  bool closing() const { return closing_; }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { ip = numeric_address(fd_, true, &port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { ip = numeric_address(fd_, false, &port); }
  socket_t socket() const override { return fd_; }

  std::string leftover() const { return buffer_.substr(begin_); }  // the start of a next request

 private:
  static constexpr size_t kChunk = 4096;

  ssize_t send_all(const char* ptr, size_t size) {
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(fd_, ptr + sent, size - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd_, POLLOUT, write_timeout_)) continue;
      if (n <= 0) return sent > 0 ? static_cast<ssize_t>(sent) : -1;
      sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
  }

  ssize_t receive(char* into, size_t size) {
    ssize_t n;
    do {
      n = ::recv(fd_, into, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  int fd_;
  std::string buffer_;
  size_t begin_ = 0;
  size_t consumed_ = 0;
  bool answered_ = false, closing_ = false;
  Clock::time_point deadline_;
  std::chrono::milliseconds read_timeout_, write_timeout_;
};

size_t open_files_allowance(size_t wanted) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return wanted;
  // Leave room for the rest of the process (files, the other server, pipes).
  const size_t reserve = 256;
  return std::clamp<size_t>(files.rlim_cur > reserve ? files.rlim_cur - reserve : 16, 16, wanted);
}

}  // namespace

// The task queue httplib is given: accepted sockets come here inline; the
// gate thread parks them and hands complete requests to its workers.
struct GuardedServer::Connection {
  int fd = -1;
  std::string address;
  bool stranger = false;  // counted among the connections open to anyone
  std::string buffer;
  bool started = false;  // the current request's first byte has arrived
  Clock::time_point deadline;
  size_t requests = 0;
};

class GuardedServer::Gate final : public httplib::TaskQueue {
 public:

  Gate(GuardedServer& server, const ServerLimits& limits)
      : server_(server),
        limits_(limits),
        max_connections_(open_files_allowance(limits.max_connections)),
        epoll_(epoll_create1(EPOLL_CLOEXEC)),
        wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        workers_(limits.workers) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e);
    thread_ = std::thread([this] { run(); });
  }

  ~Gate() override {
    shutdown();
    ::close(epoll_);
    ::close(wake_);
  }

  void enqueue(std::function<void()> fn) override { fn(); }

  void shutdown() override {
    if (stopping_.exchange(true)) return;
    wake();
    thread_.join();
    workers_.shutdown();
  }

  // On the accepting thread.
  void admit(int fd) {
    Connection c;
    c.fd = fd;
    c.address = numeric_address(fd, true);
    if (!count_in(c)) {
      reply_and_close(fd, "503 Service Unavailable");
      return;
    }
    hand_over(std::move(c));
  }

  // From a worker, after a request: the connection waits for its next one.
  void give_back(Connection c) {
    if (stopping_) {
      release(c);
      return;
    }
    hand_over(std::move(c));
  }

  void release(Connection& c) {
    close_without_reading(c.fd);
    count_out(c);
  }

  void trust(const std::string& address) {
    std::lock_guard lock(count_mutex_);
    trusted_[address] = Clock::now() + limits_.trusted_for;
  }

 private:
  void hand_over(Connection c) {
    {
      std::lock_guard lock(incoming_mutex_);
      incoming_.push_back(std::move(c));
    }
    wake();
  }

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }

  bool count_in(Connection& c) {
    std::lock_guard lock(count_mutex_);
    if (total_ >= max_connections_) return false;
    const bool loopback = loopback_peer(c.address);
    if (!loopback && per_address_[c.address] >= limits_.max_connections_per_address) return false;
    const auto trusted = trusted_.find(c.address);
    if (trusted != trusted_.end() && trusted->second < Clock::now()) trusted_.erase(trusted);
    c.stranger = !loopback && !trusted_.count(c.address);
    if (c.stranger && strangers_ >= max_connections_ - std::min(limits_.reserved_connections, max_connections_ / 2)) return false;
    ++total_;
    ++per_address_[c.address];
    strangers_ += c.stranger;
    return true;
  }

  void count_out(const Connection& c) {
    std::lock_guard lock(count_mutex_);
    --total_;
    strangers_ -= c.stranger;
    if (--per_address_[c.address] == 0) per_address_.erase(c.address);
  }

  void run() {
    std::vector<epoll_event> events(256);
    auto next_sweep = Clock::now();
    while (!stopping_) {
      const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 100);
      take_incoming();
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<size_t>(i)].data.fd;
        if (fd == wake_) {
          uint64_t count;
          [[maybe_unused]] const ssize_t r = ::read(wake_, &count, sizeof count);
          continue;
        }
        on_readable(fd);
      }
      if (const auto now = Clock::now(); now >= next_sweep) {
        sweep(now);
        next_sweep = now + std::chrono::milliseconds(100);
      }
    }
    take_incoming();
    for (auto& [fd, c] : parked_) release(c);
    parked_.clear();
  }

  void take_incoming() {
    std::deque<Connection> arrived;
    {
      std::lock_guard lock(incoming_mutex_);
      arrived.swap(incoming_);
    }
    for (auto& c : arrived) {
      const int fd = c.fd;
      c.started = !c.buffer.empty();
      c.deadline = Clock::now() + (c.started ? limits_.request_deadline : limits_.idle);
      epoll_event e{};
      e.events = EPOLLIN | EPOLLRDHUP;
      e.data.fd = fd;
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0) {
        release(c);
        continue;
      }
      parked_.emplace(fd, std::move(c));
      if (parked_[fd].started) evaluate(fd);  // a pipelined request may be complete already
    }
  }

  void on_readable(int fd) {
    const auto it = parked_.find(fd);
    if (it == parked_.end()) return;
    Connection& c = it->second;
    const size_t cap = limits_.max_header_bytes + limits_.prefetch_body_bytes + 1;
    char chunk[16 << 10];
    while (c.buffer.size() < cap) {
      const ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, cap - c.buffer.size()), MSG_DONTWAIT);
      if (n > 0) {
        c.buffer.append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      close_parked(fd);  // closed by the peer, or broken
      return;
    }
    evaluate(fd);
  }

  void evaluate(int fd) {
    Connection& c = parked_.at(fd);
    if (c.buffer.empty()) return;
    if (!c.started) {
      c.started = true;
      c.deadline = Clock::now() + limits_.request_deadline;
    }
    const HeadScan::Verdict verdict = scan_head(c.buffer, limits_).verdict;
    switch (verdict) {
      case HeadScan::kIncomplete:
        return;
      case HeadScan::kTooLarge:
      case HeadScan::kMalformed:
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        reply_and_close(fd, refusal_status(verdict));
        count_out(c);
        parked_.erase(fd);
        return;
      case HeadScan::kReady:
        break;
    }
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    auto ready = std::make_shared<Connection>(std::move(c));
    parked_.erase(fd);
    workers_.enqueue([this, ready] { server_.serve(std::move(*ready)); });
  }

  void sweep(Clock::time_point now) {
    for (auto it = parked_.begin(); it != parked_.end();) {
      Connection& c = it->second;
      if (now < c.deadline) {
        ++it;
        continue;
      }
      epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
      if (c.started) {
        reply_and_close(c.fd, "408 Request Timeout");
      } else {
        ::close(c.fd);
      }
      count_out(c);
      it = parked_.erase(it);
    }
  }

  void close_parked(int fd) {
    const auto it = parked_.find(fd);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    release(it->second);
    parked_.erase(it);
  }

  GuardedServer& server_;
  const ServerLimits limits_;
  const size_t max_connections_;
  const int epoll_;
  const int wake_;
  httplib::ThreadPool workers_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};

  std::mutex incoming_mutex_;  // guards incoming_
  std::deque<Connection> incoming_;

  std::mutex count_mutex_;  // guards the counts and trusted_
  size_t total_ = 0;
  size_t strangers_ = 0;  // connections of addresses beyond loopback not trusted
  std::map<std::string, size_t> per_address_;
  std::map<std::string, Clock::time_point> trusted_;  // address → until when

  std::unordered_map<int, Connection> parked_;  // the gate thread's alone
};

GuardedServer::GuardedServer(ServerLimits limits) : limits_(limits) {
  new_task_queue = [this] {
    gate_ = new Gate(*this, limits_);
    return gate_;
  };
  // The library cuts every answer to the request's Range; an error goes
  // out whole (a piece of an error page under Content-Range helps no
  // client). The request is the library's own, not const: only its view is.
  set_error_handler(HandlerWithResponse([](const httplib::Request& req, httplib::Response&) {
    const_cast<httplib::Request&>(req).ranges.clear();
    return HandlerResponse::Unhandled;
  }));
}

GuardedServer::~GuardedServer() = default;

void GuardedServer::trust_client(const std::string& address) {
  if (gate_) gate_->trust(address);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  gate_->admit(sock);
  return true;
}

// A connection goes on to its next request only when this one was read
// to its end: the unread rest of a refused request (its body, answered
// before it was read) is never taken for a request of its own. A chunked
// body's end is not known here, so such a request always ends its connection.
void GuardedServer::serve(Connection connection) {
  for (;;) {
    HeadScan framing = scan_head(connection.buffer, limits_);
    if (connection.buffer.find("ange:") < framing.head_bytes || connection.buffer.find("ANGE:") < framing.head_bytes) {
      drop_multiple_ranges(connection.buffer, framing.head_bytes);
      framing = scan_head(connection.buffer, limits_);
    }
    GateStream stream(connection.fd, std::move(connection.buffer), connection.deadline,
                      to_ms(read_timeout_sec_, read_timeout_usec_), to_ms(write_timeout_sec_, write_timeout_usec_));
    const bool last = connection.requests + 1 >= keep_alive_max_count_ || svr_sock_ == INVALID_SOCKET;
    bool closed = false;
    const bool ok = process_request(stream, last, closed, nullptr);
    ++connection.requests;
    const bool read_whole = !framing.chunked && stream.consumed() >= framing.head_bytes + framing.body_bytes;
    if (!ok || closed || last || !read_whole || stream.closing() || svr_sock_ == INVALID_SOCKET) {
      gate_->release(connection);
      return;
    }
    connection.buffer = stream.leftover();
    switch (linger(connection)) {
      case Next::kReady:
        continue;
      case Next::kClosed:
        gate_->release(connection);
        return;
      case Next::kLater:
        gate_->give_back(std::move(connection));
        return;
    }
  }
}

// A keep-alive client often sends its next request at once; taking it here
// saves two hand-overs. The gate's limits apply all the same.
GuardedServer::Next GuardedServer::linger(Connection& c) {
  const auto until = Clock::now() + limits_.linger;
  const size_t cap = limits_.max_header_bytes + limits_.prefetch_body_bytes + 1;
  for (;;) {
    if (!c.buffer.empty()) {
      const HeadScan::Verdict verdict = scan_head(c.buffer, limits_).verdict;
      switch (verdict) {
        case HeadScan::kReady:
          c.deadline = Clock::now() + limits_.request_deadline;
          return Next::kReady;
        case HeadScan::kTooLarge:
        case HeadScan::kMalformed: {
          const std::string refusal = "HTTP/1.1 " + std::string(refusal_status(verdict)) +
                                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
          [[maybe_unused]] const ssize_t n = ::send(c.fd, refusal.data(), refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
          return Next::kClosed;
        }
        case HeadScan::kIncomplete:
          break;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0 || c.buffer.size() >= cap || !wait_for(c.fd, POLLIN, left)) return Next::kLater;
    char chunk[16 << 10];
    const ssize_t n = ::recv(c.fd, chunk, std::min(sizeof chunk, cap - c.buffer.size()), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return Next::kClosed;
    if (n > 0) c.buffer.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace kit::http
