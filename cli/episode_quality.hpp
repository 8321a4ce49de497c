#pragma once
// What an episode's recording was like, as a training set would want to
// know it: the rate the loop achieved, its late and skipped ticks, each
// camera's new frames per second and repeated frames, the buses' retries.
// Sent to the page while recording and to the studio with the episode's end.
#include <cstdint>
#include <map>
#include <string>

#include "armkit/robots/robot.hpp"
#include "tessaline/session.hpp"

namespace tessaline::capture {

class EpisodeQuality {
 public:
  EpisodeQuality(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps);
  // The episode's first recorded tick is about to run; counts start from here.
  void restart(double now);
  // A tick was recorded: `work` seconds of it before its wait (late when over the period).
  void recorded(double work);
  void skipped() { ++skipped_; }
  // {fps, seconds, ticks (recorded), rate, late_ticks, skipped_ticks, bus_retries,
  //  cameras: {name: {fps, repeated}}}; `now` on the loop's clock.
  Json summary(double now) const;
  // The terminal's word on repeated camera frames, at the episode's end.
  void report() const;

 private:
  struct CameraCounts {
    uint64_t read = 0;
    uint64_t repeated = 0;
  };
  std::map<std::string, CameraCounts> camera_counts() const;
  uint64_t bus_retries() const;

  armkit::Robot& robot_;
  armkit::Teleoperator& teleop_;
  int fps_;
  double start_ = 0;
  long ticks_ = 0, late_ = 0, skipped_ = 0;
  std::map<std::string, CameraCounts> cameras_at_start_;
  uint64_t retries_at_start_ = 0;
};

}  // namespace tessaline::capture
