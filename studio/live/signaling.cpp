#include "studio/live/signaling.hpp"

namespace studio {

SignalingRelay::Negotiation* SignalingRelay::find(const std::string& user_id, bool touch) {
  const auto now = Clock::now();
  std::erase_if(by_user_, [&](const auto& entry) { return now - entry.second.touched > expiry_; });
  auto it = by_user_.find(user_id);
  if (it == by_user_.end()) return nullptr;
  if (touch) it->second.touched = now;
  return &it->second;
}

void SignalingRelay::put_offer(const std::string& user_id, Json offer) {
  std::lock_guard lock(mutex_);
  find(user_id);  // expire old ones
  Negotiation fresh;
  fresh.offer_id = next_offer_id_++;
  fresh.offer = std::move(offer);
  fresh.touched = Clock::now();
  by_user_[user_id] = std::move(fresh);
}

bool SignalingRelay::has_room(const std::string& user_id, size_t max_negotiations) {
  std::lock_guard lock(mutex_);
  find(user_id);  // expire old ones
  return by_user_.count(user_id) > 0 || by_user_.size() < max_negotiations;
}

std::optional<Json> SignalingRelay::answer(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const Negotiation* n = find(user_id);
  if (!n) return std::nullopt;
  return n->answer;
}

std::optional<Json> SignalingRelay::offer(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const Negotiation* n = find(user_id);
  if (!n) return std::nullopt;
  Json out = n->offer;
  out["offerId"] = n->offer_id;
  out["answered"] = n->answer.has_value();
  return out;
}

bool SignalingRelay::put_answer(const std::string& user_id, long offer_id, Json answer) {
  std::lock_guard lock(mutex_);
  Negotiation* n = find(user_id);
  if (!n || n->offer_id != offer_id) return false;
  n->answer = std::move(answer);
  return true;
}

bool SignalingRelay::add_candidate(const std::string& user_id, const std::string& sender, Json candidate,
                                   size_t max_per_side) {
  std::lock_guard lock(mutex_);
  Negotiation* n = find(user_id, false);
  if (!n) return true;  // no negotiation to belong to: dropped, as before one exists
  auto& list = sender == "robot" ? n->to_browser : n->to_robot;
  if (list.size() >= max_per_side) return false;
  list.push_back(std::move(candidate));
  return true;
}

std::pair<Json, long> SignalingRelay::candidates(const std::string& user_id, const std::string& receiver,
                                                 long since) {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  Negotiation* n = find(user_id);
  if (!n || (receiver != "robot" && receiver != "browser")) return {list, since};
  const auto& source = receiver == "robot" ? n->to_robot : n->to_browser;
  const long total = static_cast<long>(source.size());
  for (long i = std::max(since, 0L); i < total; ++i) list.push_back(source[static_cast<size_t>(i)]);
  return {list, total};
}

}  // namespace studio
