#pragma once
// What a lab's admin sees of the fleet and may do about it: the nodes (host,
// pid, role, version, last seen, job in hand, draining), the queue (queued
// and handed-over jobs, running ones with the time left on their lease,
// failed ones with their reason), a retry of one failed job or of all —
// each into the repository it was meant for — and a node's drain.
#include <memory>
#include <string>

#include "kit/json/text.hpp"
#include "studio/fleet/postgres.hpp"

namespace studio {

class FleetBoard {
 public:
  FleetBoard(std::shared_ptr<Postgres> db, std::string store) : db_(std::move(db)), store_(std::move(store)) {}

  kit::json::Json status() const;
  // The failed job queued again; false when there is no such failed job.
  bool retry(const std::string& job);
  // Every failed job queued again (after an outage): how many.
  long retry_failed();
  // The node finishes the job in hand and takes no more; false when unknown.
  bool drain(const std::string& node);

 private:
  std::shared_ptr<Postgres> db_;
  std::string store_;
};

}  // namespace studio
