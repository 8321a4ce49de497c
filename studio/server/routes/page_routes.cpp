#include "studio/server/routes/page_routes.hpp"

#include "studio/server/pages.hpp"
#include "studio/server/web_assets.hpp"

namespace studio {

void register_pages(Router& router) {
  router.get("/", [](const Call&, httplib::Response& res) { res.set_redirect("/velquin"); });
  router.get("/favicon.ico", [](const Call&, httplib::Response& res) { res.status = 204; });
  router.get("/velquin", [](const Call&, httplib::Response& res) { send_asset(res, "velquin.html"); });
  router.get("/velquin/datasets", [](const Call&, httplib::Response& res) { send_asset(res, "datasets.html"); });
  router.get("/velquin/fleet", [](const Call&, httplib::Response& res) { send_asset(res, "fleet.html"); });
  router.get(R"(/velquin/([a-z_]+\.(js|css)))", [](const Call& call, httplib::Response& res) {
    if (!find_web_asset(call.req.matches[1].str())) {
      res.status = 404;
      return;
    }
    send_asset(res, call.req.matches[1].str());
  });
}

}  // namespace studio
