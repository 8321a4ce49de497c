#pragma once
// A serial port for servo buses: raw 8N1, exclusive, any baud rate the
// driver takes (termios2), low latency where the adapter allows, reads with
// deadlines. Errors name the port. Exclusive also between programs run as
// root, whom TIOCEXCL does not stop: a lock file per port
// (/run/lock/tessaline-<port>.lock, holding the pid) is held while it is open.
#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace armkit {

struct SerialError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class SerialPort {
 public:
  explicit SerialPort(std::string path);  // opens; throws SerialError
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  const std::string& path() const { return path_; }
  void set_baudrate(int baud);
  int baudrate() const { return baud_; }
  void write(std::span<const uint8_t> bytes);
  void discard_input();
  // Appends what arrives until `deadline`; returns early once at least one
  // byte came and the line then stayed quiet for `quiet`.
  void read_until_quiet(std::vector<uint8_t>& out, std::chrono::steady_clock::time_point deadline,
                        std::chrono::microseconds quiet);
  // Appends bytes until `done(out)` or the deadline; false on time-out.
  template <typename Done>
  bool read_until(std::vector<uint8_t>& out, std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done(out)) {
      if (!read_some(out, deadline)) return false;
    }
    return true;
  }
  void close();

 private:
  bool read_some(std::vector<uint8_t>& out, std::chrono::steady_clock::time_point deadline);

  std::string path_;
  int lock_fd_ = -1;
  int fd_ = -1;
  int baud_ = 0;
};

// Time one byte takes on the wire at `baud` (10 bits: start, 8 data, stop).
std::chrono::microseconds byte_time(int baud);

}  // namespace armkit
