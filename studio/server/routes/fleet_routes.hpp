#pragma once
// The fleet page's requests, for the lab's admins: this computer's
// operator, a holder of the studio's token, or a user named an admin who
// signed in from elsewhere (any other signed-in user is refused):
// GET /fleet/status; POST /fleet/jobs/retry with {"job": name} or
// {"all": true}; POST /fleet/nodes/drain with {"node": name}.
#include <set>
#include <string>
#include <vector>

#include "studio/fleet/fleet_board.hpp"
#include "studio/server/router.hpp"

namespace studio {

class FleetRoutes {
 public:
  FleetRoutes(FleetBoard& board, const std::vector<std::string>& admins) : board_(board), admins_(admins.begin(), admins.end()) {}
  void register_on(Router& router);

 private:
  void admins_only(const Call& call) const;

  FleetBoard& board_;
  std::set<std::string> admins_;
};

}  // namespace studio
