#pragma once
// What hears of each episode's frames as they are staged, to work on them
// while the episode records. Called under the frame store's lock, in the
// order frames are staged: take what is needed and return at once.
#include <string>

#include "studio/live/logged_frame.hpp"

namespace studio {

class StagingListener {
 public:
  virtual ~StagingListener() = default;
  // A frame staged into the episode of `episode_key` (the name of its first
  // staged stream); `first`: the episode's first frame. Nothing is told of
  // an episode whose first frames were staged before the store started.
  virtual void staged(const std::string& episode_key, bool first, const LoggedFrame& frame) = 0;
  // The episode ended: its frames go to an export.
  virtual void ended(const std::string& episode_key) = 0;
  // The episode's frames are discarded or set aside: never exported.
  virtual void dropped(const std::string& episode_key) = 0;
};

}  // namespace studio
