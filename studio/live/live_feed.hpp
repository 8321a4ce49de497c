#pragma once
// What the operator page shows while a user records, told by the frames the
// studio receives: the open episode's frames and length, the episodes this
// session ended, and the last seconds of each joint's command and reading
// for live plots. In memory only; fed by the Flight receiver and the episode
// endpoints. Thread-safe.
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kit/json/text.hpp"
#include "studio/live/logged_frame.hpp"

namespace studio {

class LiveFeed {
 public:
  // A frame staged for its user.
  void frame(const LoggedFrame& frame);
  void episode_ended(const std::string& user);
  void episode_reset(const std::string& user);
  // A new session of the user begins (its robot offered): nothing of the last
  // one is shown; the robot type it named (if any) names the joints at once.
  void session_started(const std::string& user, const std::string& robot_type = "");

  // {"episode": {"frames", "seconds"}, "saved": [{"frames", "seconds"}], "names": [joint names],
  //  "samples": {"next", "t", "action", "state"}}: samples (at most the last 600) from cursor `since` on.
  kit::json::Json snapshot(const std::string& user, long since) const;

 private:
  struct Sample {
    long sequence;
    double t;
    std::vector<double> action, state;
  };
  struct User {
    long frames = 0;
    double seconds = 0;
    std::vector<std::pair<long, double>> saved;
    std::deque<Sample> samples;
    long next = 0;
    std::string robot_type;
  };
  static constexpr size_t kSamples = 600;

  mutable std::mutex mutex_;  // guards users_
  std::map<std::string, User> users_;
};

}  // namespace studio
