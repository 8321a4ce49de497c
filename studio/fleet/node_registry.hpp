#pragma once
// This studio as a node of the fleet, in the database beside the jobs:
// its name, host, pid, role and version, when it was last seen, the job in
// its hands, and whether an admin asked it to drain (finish the job in
// hand, take no more). Seen again every few seconds; a node that stops
// cleanly leaves, one that dies stays with its last time seen.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "studio/fleet/postgres.hpp"

namespace studio {

struct NodeInfo {
  std::string name;  // "<host>-<random>": the jobs table's node
  std::string host;
  std::string role;  // "serves and exports", "serves, hands exports over", "exports only"
  std::string version;
};

std::string host_name();
// "<host>-<8 hex digits>": says which computer, yet never the name of an
// earlier run on it (whose leases it must not renew).
std::string node_name(const std::string& host);

class NodeRegistry {
 public:
  NodeRegistry(std::shared_ptr<Postgres> db, std::string store, NodeInfo info,
               std::chrono::milliseconds every = std::chrono::seconds(5));
  ~NodeRegistry();
  NodeRegistry(const NodeRegistry&) = delete;
  NodeRegistry& operator=(const NodeRegistry&) = delete;

  const std::string& name() const { return info_.name; }
  bool draining() const { return draining_; }
  void holding(const std::string& job);  // "" when none

 private:
  void beat();
  void loop();

  std::shared_ptr<Postgres> db_;
  std::string store_;
  NodeInfo info_;
  std::chrono::milliseconds every_;
  std::atomic<bool> draining_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string job_;       // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace studio
