#pragma once
// Faults on demand: a named pipe the rig reads one command a line from, so
// a test (or a curious user) can make the hardware misbehave at the moment
// it chooses:
//   camera-stall NAME SECONDS   the camera delivers no frame for that long
//   bus-silence leader|follower MS   that arm's servos answer nothing for MS ms
//   wrong-id leader|follower N       its next N answers carry another servo's id
//   hold|release leader|follower JOINT [READING]   a hand on a joint, or off it
//   only leader|follower JOINT [new]  the board wired to that motor only (new: out of the box)
//   all leader|follower               wired to every motor again
// Each line is handed to the rig's handler, which returns what it did (or
// throws std::invalid_argument saying what is wrong with the line).
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace armkit {

class FaultChannel {
 public:
  using Handler = std::function<std::string(const std::string& line)>;
  // Creates the pipe (replacing a file of that name); throws std::runtime_error.
  FaultChannel(std::filesystem::path path, Handler handler);
  ~FaultChannel();  // stops reading and removes the pipe
  FaultChannel(const FaultChannel&) = delete;
  FaultChannel& operator=(const FaultChannel&) = delete;

 private:
  void run();

  std::filesystem::path path_;
  Handler handler_;
  int fd_ = -1;
  std::atomic<bool> running_{true};
  std::thread reader_;
};

}  // namespace armkit
