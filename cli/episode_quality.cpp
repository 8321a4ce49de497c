#include "cli/episode_quality.hpp"

#include <algorithm>
#include <cmath>

#include "kit/log/logger.hpp"

namespace tessaline::capture {
namespace {

double rounded(double value, double step) { return std::round(value / step) * step; }

}  // namespace

EpisodeQuality::EpisodeQuality(armkit::Robot& robot, armkit::Teleoperator& teleop, int fps)
    : robot_(robot), teleop_(teleop), fps_(fps) {
  restart(0);
}

void EpisodeQuality::restart(double now) {
  start_ = now;
  ticks_ = late_ = skipped_ = 0;
  cameras_at_start_ = camera_counts();
  retries_at_start_ = bus_retries();
}

void EpisodeQuality::recorded(double work) {
  ++ticks_;
  if (work > 1.0 / fps_) ++late_;
}

std::map<std::string, EpisodeQuality::CameraCounts> EpisodeQuality::camera_counts() const {
  std::map<std::string, CameraCounts> counts;
  for (const auto& [name, camera] : robot_.cameras) counts[name] = {camera->frames_read(), camera->frames_repeated()};
  return counts;
}

uint64_t EpisodeQuality::bus_retries() const { return robot_.arm().bus().retries() + teleop_.arm().bus().retries(); }

Json EpisodeQuality::summary(double now) const {
  const double seconds = std::max(now - start_, 0.0);
  Json cameras = Json::object();
  for (const auto& [name, counts] : camera_counts()) {
    const CameraCounts& at_start = cameras_at_start_.at(name);
    cameras[name] = {{"fps", seconds > 0 ? rounded(static_cast<double>(counts.read - at_start.read) / seconds, 0.1) : 0.0},
                     {"repeated", counts.repeated - at_start.repeated}};
  }
  return {{"fps", fps_},
          {"seconds", rounded(seconds, 0.001)},
          {"ticks", ticks_},
          {"rate", seconds > 0 ? rounded(static_cast<double>(ticks_) / seconds, 0.1) : 0.0},
          {"late_ticks", late_},
          {"skipped_ticks", skipped_},
          {"bus_retries", bus_retries() - retries_at_start_},
          {"cameras", std::move(cameras)}};
}

void EpisodeQuality::report() const {
  for (const auto& [name, counts] : camera_counts()) {
    const uint64_t repeated = counts.repeated - cameras_at_start_.at(name).repeated;
    if (repeated > 0) {
      kit::log::get_logger("tessaline.capture")
          .warning("Camera {}: {} frame(s) of this episode repeat the image before (no new one came in time)", name, repeated);
    }
  }
}

}  // namespace tessaline::capture
