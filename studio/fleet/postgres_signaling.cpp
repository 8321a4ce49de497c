#include "studio/fleet/postgres_signaling.hpp"

namespace studio {

PostgresSignaling::PostgresSignaling(std::shared_ptr<Postgres> db, std::chrono::seconds idle_expiry)
    : db_(std::move(db)), expiry_(std::to_string(idle_expiry.count()) + " seconds") {
  // Texts, not jsonb: the offer goes back exactly as the robot sent it.
  db_->ensure_schema({"CREATE SEQUENCE IF NOT EXISTS tessaline_offer_ids",
                      "CREATE TABLE IF NOT EXISTS tessaline_negotiations ("
                      " user_id text PRIMARY KEY, offer_id bigint NOT NULL, offer text NOT NULL, answer text,"
                      " touched timestamptz NOT NULL DEFAULT now())",
                      "CREATE TABLE IF NOT EXISTS tessaline_candidates ("
                      " user_id text NOT NULL, offer_id bigint NOT NULL, receiver text NOT NULL, idx integer NOT NULL,"
                      " candidate text NOT NULL, PRIMARY KEY (user_id, offer_id, receiver, idx))"});
}

void PostgresSignaling::expire(Postgres::Session& s) {
  s.run("DELETE FROM tessaline_candidates c USING tessaline_negotiations n"
        " WHERE c.user_id = n.user_id AND n.touched < now() - $1::interval",
        {expiry_});
  s.run("DELETE FROM tessaline_negotiations WHERE touched < now() - $1::interval", {expiry_});
}

std::optional<long> PostgresSignaling::touch(Postgres::Session& s, const std::string& user_id) {
  expire(s);
  const Rows rows = s.run("UPDATE tessaline_negotiations SET touched = now() WHERE user_id = $1 RETURNING offer_id", {user_id});
  if (rows.size() == 0) return std::nullopt;
  return rows.number(0, 0);
}

void PostgresSignaling::put_offer(const std::string& user_id, Json offer) {
  Postgres::Session s(*db_);
  s.transaction([&](Postgres::Session& t) {
    expire(t);
    t.run("DELETE FROM tessaline_candidates WHERE user_id = $1", {user_id});
    t.run("INSERT INTO tessaline_negotiations (user_id, offer_id, offer) VALUES ($1, nextval('tessaline_offer_ids'), $2)"
          " ON CONFLICT (user_id) DO UPDATE SET offer_id = EXCLUDED.offer_id, offer = EXCLUDED.offer, answer = NULL,"
          " touched = now()",
          {user_id, offer.dump()});
  });
}

bool PostgresSignaling::has_room(const std::string& user_id, size_t max_negotiations) {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) {
    expire(t);
    const Rows rows = t.run("SELECT count(*), count(*) FILTER (WHERE user_id = $1) FROM tessaline_negotiations", {user_id});
    return rows.number(0, 1) > 0 || static_cast<size_t>(rows.number(0, 0)) < max_negotiations;
  });
}

std::optional<Json> PostgresSignaling::answer(const std::string& user_id) {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) -> std::optional<Json> {
    expire(t);
    const Rows rows = t.run("UPDATE tessaline_negotiations SET touched = now() WHERE user_id = $1 RETURNING answer", {user_id});
    if (rows.size() == 0 || !rows.at(0, 0)) return std::nullopt;
    return Json::parse(*rows.at(0, 0));
  });
}

std::optional<Json> PostgresSignaling::offer(const std::string& user_id) {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) -> std::optional<Json> {
    expire(t);
    const Rows rows = t.run("UPDATE tessaline_negotiations SET touched = now() WHERE user_id = $1"
                            " RETURNING offer_id, offer, answer IS NOT NULL",
                            {user_id});
    if (rows.size() == 0) return std::nullopt;
    Json out = Json::parse(rows.text(0, 1));
    out["offerId"] = rows.number(0, 0);
    out["answered"] = rows.text(0, 2) == "t";
    return out;
  });
}

bool PostgresSignaling::put_answer(const std::string& user_id, long offer_id, Json answer) {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) {
    expire(t);
    return t.run("UPDATE tessaline_negotiations SET answer = $3, touched = now() WHERE user_id = $1 AND offer_id = $2",
                 {user_id, std::to_string(offer_id), answer.dump()})
               .affected() == 1;
  });
}

bool PostgresSignaling::add_candidate(const std::string& user_id, const std::string& sender, Json candidate,
                                      size_t max_per_side) {
  const std::string receiver = sender == "robot" ? "browser" : "robot";
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) {
    // The negotiation's row lock puts concurrent candidates of one user in a row.
    const Rows current = t.run("SELECT offer_id FROM tessaline_negotiations WHERE user_id = $1"
                               " AND touched >= now() - $2::interval FOR UPDATE",
                               {user_id, expiry_});
    if (current.size() == 0) return true;  // no negotiation to belong to: dropped, as before one exists
    const std::string offer_id = current.text(0, 0);
    const long count = t.run("SELECT count(*) FROM tessaline_candidates WHERE user_id = $1 AND offer_id = $2 AND receiver = $3",
                             {user_id, offer_id, receiver})
                           .number(0, 0);
    if (static_cast<size_t>(count) >= max_per_side) return false;
    t.run("INSERT INTO tessaline_candidates VALUES ($1, $2, $3, $4, $5)",
          {user_id, offer_id, receiver, std::to_string(count), candidate.dump()});
    return true;
  });
}

std::pair<Json, long> PostgresSignaling::candidates(const std::string& user_id, const std::string& receiver, long since) {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) -> std::pair<Json, long> {
    Json list = Json::array();
    const auto offer_id = touch(t, user_id);
    if (!offer_id || (receiver != "robot" && receiver != "browser")) return {list, since};
    const Rows rows = t.run("SELECT candidate FROM tessaline_candidates WHERE user_id = $1 AND offer_id = $2"
                            " AND receiver = $3 ORDER BY idx",
                            {user_id, std::to_string(*offer_id), receiver});
    for (int i = std::max(0, static_cast<int>(since)); i < rows.size(); ++i) list.push_back(Json::parse(rows.text(i, 0)));
    return {list, static_cast<long>(rows.size())};
  });
}

}  // namespace studio
