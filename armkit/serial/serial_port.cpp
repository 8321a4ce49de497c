#include "armkit/serial/serial_port.hpp"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "armkit/serial/baud.hpp"

namespace armkit {

std::chrono::microseconds byte_time(int baud) {
  return std::chrono::microseconds(baud > 0 ? (10'000'000 + baud - 1) / baud : 1000);
}

namespace {

// The lock file of a port: in /run/lock where it may be written, else the temporary folder.
std::string lock_path(const std::string& port) {
  std::string name = "tessaline-";
  for (const char c : port) name += (c == '/') ? '_' : c;
  const char* dir = ::access("/run/lock", W_OK) == 0 ? "/run/lock" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  return std::string(dir) + "/" + name + ".lock";
}

// The held lock's descriptor; throws when another program holds it.
int lock_port(const std::string& port) {
  const std::string path = lock_path(port);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;  // no place for a lock file: TIOCEXCL alone
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char text[32] = {};
    [[maybe_unused]] const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    const long pid = std::atol(text);
    throw SerialError("the arms on " + port + " are in use by another tessaline" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : "") +
                      ": stop it first, or use other arms");
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return fd;
}

}  // namespace

SerialPort::SerialPort(std::string path) : path_(std::move(path)) {
  lock_fd_ = lock_port(path_);
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int e = errno;
    close();
    throw SerialError("cannot open " + path_ + ": " + std::strerror(e));
  }
  if (ioctl(fd_, TIOCEXCL) != 0) {
    const int e = errno;
    close();
    throw SerialError("cannot take " + path_ + " for exclusive use: " + std::strerror(e));
  }
  // USB adapters that buffer for milliseconds slow every round trip; ask for
  // low latency where the driver has the flag (pseudo-terminals do not).
  serial_struct ser{};
  if (ioctl(fd_, TIOCGSERIAL, &ser) == 0) {
    ser.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd_, TIOCSSERIAL, &ser);
  }
}

SerialPort::~SerialPort() { close(); }

void SerialPort::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (lock_fd_ >= 0) {
    ::close(lock_fd_);  // the lock goes with it; the file stays for the next one
    lock_fd_ = -1;
  }
}

void SerialPort::set_baudrate(int baud) {
  if (fd_ < 0) throw SerialError(path_ + " is closed");
  if (!baud::set_raw(fd_, baud)) throw SerialError("cannot set " + path_ + " to " + std::to_string(baud) + " baud");
  baud_ = baud;
}

void SerialPort::write(std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n < 0) throw SerialError("write to " + path_ + " failed: " + std::strerror(errno));
    sent += static_cast<size_t>(n);
  }
}

void SerialPort::discard_input() { tcflush(fd_, TCIFLUSH); }

bool SerialPort::read_some(std::vector<uint8_t>& out, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd_, POLLIN, 0};
  timespec ts{static_cast<time_t>(left.count() / 1'000'000), static_cast<long>(left.count() % 1'000'000) * 1000};
  const int ready = ::ppoll(&p, 1, &ts, nullptr);
  if (ready < 0 && errno != EINTR) throw SerialError("read from " + path_ + " failed: " + std::strerror(errno));
  if (ready <= 0) return std::chrono::steady_clock::now() < deadline;
  uint8_t buf[512];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n < 0 && errno != EAGAIN) throw SerialError("read from " + path_ + " failed: " + std::strerror(errno));
  if (n > 0) out.insert(out.end(), buf, buf + n);
  if (n == 0 && (p.revents & POLLHUP)) throw SerialError(path_ + " was disconnected");
  return true;
}

void SerialPort::read_until_quiet(std::vector<uint8_t>& out, std::chrono::steady_clock::time_point deadline,
                                  std::chrono::microseconds quiet) {
  bool got_any = false;
  for (;;) {
    const auto limit = got_any ? std::min(deadline, std::chrono::steady_clock::now() + quiet) : deadline;
    const size_t before = out.size();
    if (!read_some(out, limit)) return;
    if (out.size() > before) got_any = true;
    else if (got_any && std::chrono::steady_clock::now() >= limit) return;
  }
}

}  // namespace armkit
