#include "studio/fleet/fleet_board.hpp"

namespace studio {
using kit::json::Json;

namespace {

// The statement that queues failed jobs again, behind the newest.
constexpr const char* kRequeue =
    "UPDATE tessaline_export_jobs SET state = 'queued', attempts = 0, error = NULL, not_before = NULL,"
    " number = (SELECT MAX(number) + 1 FROM tessaline_export_jobs) WHERE store = $1 AND state = 'failed'";

}  // namespace

Json FleetBoard::status() const {
  Postgres::Session s(*db_);
  Json nodes = Json::array();
  const Rows n = s.run(
      "SELECT name, host, pid, role, version, EXTRACT(EPOCH FROM now() - last_seen)::bigint, draining, COALESCE(job, '')"
      " FROM tessaline_nodes WHERE store = $1 ORDER BY name",
      {store_});
  for (int i = 0; i < n.size(); ++i) {
    nodes.push_back({{"name", n.text(i, 0)}, {"host", n.text(i, 1)}, {"pid", n.number(i, 2)}, {"role", n.text(i, 3)},
                     {"version", n.text(i, 4)}, {"lastSeenSeconds", n.number(i, 5)}, {"draining", n.text(i, 6) == "t"},
                     {"job", n.text(i, 7)}});
  }
  Json jobs = {{"queued", Json::array()}, {"running", Json::array()}, {"failed", Json::array()}};
  const Rows j = s.run(
      "SELECT name, repo_id, user_id, state, episodes, COALESCE(node, ''), attempts, COALESCE(error, ''),"
      " COALESCE(EXTRACT(EPOCH FROM lease_until - now())::bigint, 0), COALESCE(progress, '')"
      " FROM tessaline_export_jobs WHERE store = $1 AND state IN ('uploading', 'queued', 'running', 'failed') ORDER BY number",
      {store_});
  for (int i = 0; i < j.size(); ++i) {
    const std::string state = j.text(i, 3);
    Json job{{"job", j.text(i, 0)}, {"repoId", j.text(i, 1)}, {"userId", j.text(i, 2)}, {"episodes", j.number(i, 4)},
             {"attempts", j.number(i, 6)}};
    if (!j.text(i, 7).empty()) job["error"] = j.text(i, 7);
    if (state == "running") {
      job["node"] = j.text(i, 5);
      job["leaseLeftSeconds"] = j.number(i, 8);  // below 0: its node stopped renewing; another takes it over
      if (!j.text(i, 9).empty()) job["progress"] = Json::parse(j.text(i, 9), nullptr, false);
    }
    if (state == "uploading") job["handingOver"] = true;
    jobs[state == "uploading" ? "queued" : state].push_back(job);
  }
  // "Today" as the database's clock and time zone have it, one for the whole fleet.
  const Rows done = s.run(
      "SELECT count(*), count(*) FILTER (WHERE finished >= date_trunc('day', now()))"
      " FROM tessaline_export_jobs WHERE store = $1 AND state = 'done'",
      {store_});
  jobs["done"] = done.number(0, 0);
  jobs["doneToday"] = done.number(0, 1);
  return {{"store", store_}, {"nodes", nodes}, {"jobs", jobs}};
}

bool FleetBoard::retry(const std::string& job) {
  return Postgres::Session(*db_).run(std::string(kRequeue) + " AND name = $2", {store_, job}).affected() == 1;
}

long FleetBoard::retry_failed() { return Postgres::Session(*db_).run(kRequeue, {store_}).affected(); }

bool FleetBoard::drain(const std::string& node) {
  return Postgres::Session(*db_)
             .run("UPDATE tessaline_nodes SET draining = true WHERE name = $1 AND store = $2", {node, store_})
             .affected() == 1;
}

}  // namespace studio
