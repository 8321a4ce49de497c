#pragma once
// The signaling relay: per user, the robot's offer, the browser's answer and
// the candidates each side trickles, so two peers that cannot reach each
// other yet can negotiate. A new offer starts a new negotiation for that
// user (answer and candidates of the old one are dropped). Thread-safe.
// Kept in this process (SignalingRelay), or in PostgreSQL for studios that
// share it (PostgresSignaling), so robot and browser may each reach another.
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

using kit::json::Json;

class Signaling {
 public:
  virtual ~Signaling() = default;

  // Robot side.
  virtual void put_offer(const std::string& user_id, Json offer) = 0;
  // Whether a new offer from this user fits under a cap on negotiations.
  virtual bool has_room(const std::string& user_id, size_t max_negotiations) = 0;
  // The answer once the browser has given one.
  virtual std::optional<Json> answer(const std::string& user_id) = 0;

  // Browser side. The pending offer with its "offerId"; nullopt when none.
  virtual std::optional<Json> offer(const std::string& user_id) = 0;
  // Fails (false) when `offer_id` is not the current negotiation.
  virtual bool put_answer(const std::string& user_id, long offer_id, Json answer) = 0;

  // Either side: `sender` is "robot" or "browser"; the candidate goes to the
  // other side's list of the current negotiation. False (nothing added) when
  // that list holds `max_per_side` already. Adding does not keep a
  // negotiation from expiring: only its two peers' reads and writes do.
  virtual bool add_candidate(const std::string& user_id, const std::string& sender, Json candidate,
                             size_t max_per_side) = 0;
  // Candidates sent to `receiver` from index `since` on, and the next index.
  // An unknown user or receiver gives an empty list and `since` unchanged.
  virtual std::pair<Json, long> candidates(const std::string& user_id, const std::string& receiver, long since) = 0;
};

class SignalingRelay final : public Signaling {
 public:
  using Clock = std::chrono::steady_clock;
  // Negotiations untouched for this long are forgotten.
  explicit SignalingRelay(std::chrono::seconds idle_expiry = std::chrono::hours(1)) : expiry_(idle_expiry) {}

  void put_offer(const std::string& user_id, Json offer) override;
  bool has_room(const std::string& user_id, size_t max_negotiations) override;
  std::optional<Json> answer(const std::string& user_id) override;
  std::optional<Json> offer(const std::string& user_id) override;
  bool put_answer(const std::string& user_id, long offer_id, Json answer) override;
  bool add_candidate(const std::string& user_id, const std::string& sender, Json candidate, size_t max_per_side) override;
  std::pair<Json, long> candidates(const std::string& user_id, const std::string& receiver, long since) override;

 private:
  struct Negotiation {
    long offer_id = 0;
    Json offer;
    std::optional<Json> answer;
    std::vector<Json> to_robot;
    std::vector<Json> to_browser;
    Clock::time_point touched;
  };
  // Expires on the way; `touch` keeps the one found alive. Call under the lock.
  Negotiation* find(const std::string& user_id, bool touch = true);

  std::chrono::seconds expiry_;
  std::mutex mutex_;  // guards everything below
  std::map<std::string, Negotiation> by_user_;
  long next_offer_id_ = 1;
};

}  // namespace studio
