#pragma once
// The fleet page's requests, for this computer's operator or a holder of
// the studio's token (never a browser signed in from elsewhere: that is a
// user, not the lab's admin): GET /fleet/status; POST /fleet/jobs/retry
// with {"job": name} or {"all": true}; POST /fleet/nodes/drain with
// {"node": name}.
#include "studio/fleet/fleet_board.hpp"
#include "studio/server/router.hpp"

namespace studio {

class FleetRoutes {
 public:
  explicit FleetRoutes(FleetBoard& board) : board_(board) {}
  void register_on(Router& router);

 private:
  FleetBoard& board_;
};

}  // namespace studio
