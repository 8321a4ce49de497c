#pragma once
// The signaling relay: per user, the robot's offer, the browser's answer and
// the candidates each side trickles, so two peers that cannot reach each
// other yet can negotiate. A new offer starts a new negotiation for that
// user (answer and candidates of the old one are dropped). Thread-safe.
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

using kit::json::Json;

class SignalingRelay {
 public:
  using Clock = std::chrono::steady_clock;
  // Negotiations untouched for this long are forgotten.
  explicit SignalingRelay(std::chrono::seconds idle_expiry = std::chrono::hours(1)) : expiry_(idle_expiry) {}

  // Robot side.
  void put_offer(const std::string& user_id, Json offer);
  // Whether a new offer from this user fits under a cap on negotiations.
  bool has_room(const std::string& user_id, size_t max_negotiations);
  // The answer once the browser has given one.
  std::optional<Json> answer(const std::string& user_id);

  // Browser side. The pending offer with its "offerId"; nullopt when none.
  std::optional<Json> offer(const std::string& user_id);
  // Fails (false) when `offer_id` is not the current negotiation.
  bool put_answer(const std::string& user_id, long offer_id, Json answer);

  // Either side: `sender` is "robot" or "browser"; the candidate goes to the
  // other side's list of the current negotiation.
  void add_candidate(const std::string& user_id, const std::string& sender, Json candidate);
  // Candidates sent to `receiver` from index `since` on, and the next index.
  // An unknown user or receiver gives an empty list and `since` unchanged.
  std::pair<Json, long> candidates(const std::string& user_id, const std::string& receiver, long since);

 private:
  struct Negotiation {
    long offer_id = 0;
    Json offer;
    std::optional<Json> answer;
    std::vector<Json> to_robot;
    std::vector<Json> to_browser;
    Clock::time_point touched;
  };
  Negotiation* find(const std::string& user_id);  // expires on the way; call under the lock

  std::chrono::seconds expiry_;
  std::mutex mutex_;  // guards everything below
  std::map<std::string, Negotiation> by_user_;
  long next_offer_id_ = 1;
};

}  // namespace studio
