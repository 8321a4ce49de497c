#include "studio/live/live_feed.hpp"

#include "studio/live/joint_names.hpp"

namespace studio {
using kit::json::Json;

void LiveFeed::frame(const LoggedFrame& f) {
  std::lock_guard lock(mutex_);
  User& u = users_[f.user_id];
  ++u.frames;
  if (f.robot_type) u.robot_type = *f.robot_type;
  if (f.timestamp) u.seconds = std::max(u.seconds, *f.timestamp);
  u.samples.push_back({u.next++, f.timestamp.value_or(0), f.action.value_or(std::vector<double>{}), f.state});
  if (u.samples.size() > kSamples) u.samples.pop_front();
}

void LiveFeed::episode_ended(const std::string& user) {
  std::lock_guard lock(mutex_);
  User& u = users_[user];
  if (u.frames > 0) u.saved.emplace_back(u.frames, u.seconds);
  u.frames = 0;
  u.seconds = 0;
}

void LiveFeed::episode_reset(const std::string& user) {
  std::lock_guard lock(mutex_);
  User& u = users_[user];
  u.frames = 0;
  u.seconds = 0;
}

void LiveFeed::session_started(const std::string& user, const std::string& robot_type) {
  std::lock_guard lock(mutex_);
  const long next = users_[user].next;  // cursors of a page that stays open keep counting
  users_[user] = User{};
  users_[user].next = next;
  users_[user].robot_type = robot_type;
}

Json LiveFeed::snapshot(const std::string& user, long since) const {
  std::lock_guard lock(mutex_);
  Json t = Json::array(), action = Json::array(), state = Json::array();
  Json out = {{"episode", {{"frames", 0}, {"seconds", 0.0}}}, {"saved", Json::array()}};
  long next = since;
  if (const auto it = users_.find(user); it != users_.end()) {
    const User& u = it->second;
    out["episode"] = {{"frames", u.frames}, {"seconds", u.seconds}};
    for (const auto& [frames, seconds] : u.saved) out["saved"].push_back({{"frames", frames}, {"seconds", seconds}});
    for (const auto& s : u.samples) {
      if (s.sequence < since) continue;
      t.push_back(s.t);
      action.push_back(s.action);
      state.push_back(s.state);
    }
    next = u.next;
    if (!u.samples.empty()) out["names"] = joint_names(u.robot_type, u.samples.back().state.size());
  }
  out["samples"] = {{"next", next}, {"t", std::move(t)}, {"action", std::move(action)}, {"state", std::move(state)}};
  return out;
}

}  // namespace studio
