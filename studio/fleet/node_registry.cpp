#include "studio/fleet/node_registry.hpp"

#include <unistd.h>

#include <cstdio>

#include "kit/digest/digest.hpp"

namespace studio {

std::string host_name() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "studio";
  return host;
}

std::string node_name(const std::string& host) { return host + "-" + kit::random_hex(4); }

NodeRegistry::NodeRegistry(std::shared_ptr<Postgres> db, std::string store, NodeInfo info, std::chrono::milliseconds every)
    : db_(std::move(db)), store_(std::move(store)), info_(std::move(info)), every_(every) {
  db_->ensure_schema({"CREATE TABLE IF NOT EXISTS tessaline_nodes ("
                      " name text PRIMARY KEY, store text NOT NULL, host text NOT NULL, pid integer NOT NULL,"
                      " role text NOT NULL, version text NOT NULL, started timestamptz NOT NULL DEFAULT now(),"
                      " last_seen timestamptz NOT NULL DEFAULT now(), job text, draining boolean NOT NULL DEFAULT false)"});
  thread_ = std::thread([this] { loop(); });
}

NodeRegistry::~NodeRegistry() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  try {
    Postgres::Session(*db_).run("DELETE FROM tessaline_nodes WHERE name = $1", {info_.name});
  } catch (const std::exception&) {  // the database is away: the row stays with its last time seen
  }
}

void NodeRegistry::holding(const std::string& job) {
  {
    std::lock_guard lock(mutex_);
    job_ = job;
  }
  wake_.notify_all();
}

void NodeRegistry::beat() {
  std::string job;
  {
    std::lock_guard lock(mutex_);
    job = job_;
  }
  const Rows rows = Postgres::Session(*db_).run(
      "INSERT INTO tessaline_nodes (name, store, host, pid, role, version, job) VALUES ($1, $2, $3, $4::integer, $5, $6, NULLIF($7, ''))"
      " ON CONFLICT (name) DO UPDATE SET last_seen = now(), job = NULLIF($7, '') RETURNING draining",
      {info_.name, store_, info_.host, std::to_string(getpid()), info_.role, info_.version, job});
  const bool drain = rows.size() == 1 && rows.text(0, 0) == "t";
  if (drain && !draining_) {
    std::printf("studio: draining, as an admin asked: the job in hand is finished, no more are taken\n");
    std::fflush(stdout);
  }
  draining_ = drain;
}

void NodeRegistry::loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const std::string told = job_;
    lock.unlock();
    try {
      beat();
    } catch (const std::exception&) {  // the database is away: seen again when it is back
    }
    lock.lock();
    wake_.wait_for(lock, every_, [&] { return stopping_ || job_ != told; });
  }
}

}  // namespace studio
