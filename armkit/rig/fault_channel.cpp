#include "armkit/rig/fault_channel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace armkit {

FaultChannel::FaultChannel(std::filesystem::path path, Handler handler) : path_(std::move(path)), handler_(std::move(handler)) {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  if (::mkfifo(path_.c_str(), 0600) != 0) {
    throw std::runtime_error("cannot make the fault pipe " + path_.string() + ": " + std::strerror(errno));
  }
  // Read and write: opening never waits for a writer, and the pipe never
  // reads as ended when one writer closes it.
  fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    std::filesystem::remove(path_, ec);
    throw std::runtime_error("cannot open the fault pipe " + path_.string() + ": " + std::strerror(err));
  }
  reader_ = std::thread([this] { run(); });
}

FaultChannel::~FaultChannel() {
  running_ = false;
  reader_.join();
  ::close(fd_);
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

void FaultChannel::run() {
  std::string pending;
  while (running_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) continue;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      try {
        std::printf("tessaline-rig: fault: %s\n", handler_(line).c_str());
      } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tessaline-rig: no such fault: '%s' (%s)\n", line.c_str(), e.what());
      }
      std::fflush(stdout);
    }
    if (pending.size() > 4096) pending.clear();  // no line ends: nothing sensible was meant
  }
}

}  // namespace armkit
