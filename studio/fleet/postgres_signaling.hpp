#pragma once
// Signaling kept in PostgreSQL, so studios sharing the database relay for
// each other: the robot may post its offer to one and the browser answer
// through another. Same rules as SignalingRelay (one negotiation per user,
// a new offer drops the old one's answer and candidates, idle ones expire).
#include <chrono>
#include <memory>

#include "studio/fleet/postgres.hpp"
#include "studio/live/signaling.hpp"

namespace studio {

class PostgresSignaling final : public Signaling {
 public:
  // Creates its tables when they are missing (several studios may start at once).
  PostgresSignaling(std::shared_ptr<Postgres> db, std::chrono::seconds idle_expiry = std::chrono::hours(1));

  void put_offer(const std::string& user_id, Json offer) override;
  bool has_room(const std::string& user_id, size_t max_negotiations) override;
  std::optional<Json> answer(const std::string& user_id) override;
  std::optional<Json> offer(const std::string& user_id) override;
  bool put_answer(const std::string& user_id, long offer_id, Json answer) override;
  bool add_candidate(const std::string& user_id, const std::string& sender, Json candidate, size_t max_per_side) override;
  std::pair<Json, long> candidates(const std::string& user_id, const std::string& receiver, long since) override;

 private:
  // The current negotiation's offer id, its idle time renewed; nothing when
  // there is none (or it expired). Within a session.
  std::optional<long> touch(Postgres::Session& s, const std::string& user_id);
  void expire(Postgres::Session& s);

  std::shared_ptr<Postgres> db_;
  std::string expiry_;  // as an SQL interval: "3600 seconds"
};

}  // namespace studio
