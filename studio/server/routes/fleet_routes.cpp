#include "studio/server/routes/fleet_routes.hpp"

namespace studio {

void FleetRoutes::admins_only(const Call& call) const {
  if (call.signed_in && !admins_.count(*call.signed_in)) {
    throw Forbidden("the fleet is run from this computer, with the studio's token, or by a user the studio names "
                    "with --admin; " + *call.signed_in + " is not one");
  }
}

void FleetRoutes::register_on(Router& router) {
  router.get("/fleet/status", [this](const Call& call, httplib::Response& res) {
    admins_only(call);
    send_json(res, board_.status());
  });
  router.post("/fleet/jobs/retry", [this](const Call& call, httplib::Response& res) {
    admins_only(call);
    if (call.body.value("all", false) == true) {
      send_json(res, {{"queued", board_.retry_failed()}});
      return;
    }
    const std::string job = call.id("job");
    if (!board_.retry(job)) throw NotFound("no failed job " + job);
    send_json(res, {{"queued", 1}});
  });
  router.post("/fleet/nodes/drain", [this](const Call& call, httplib::Response& res) {
    admins_only(call);
    const std::string node = call.id("node");
    if (!board_.drain(node)) throw NotFound("no node " + node + " in this fleet");
    send_json(res, {{"node", node}, {"draining", true}});
  });
}

}  // namespace studio
