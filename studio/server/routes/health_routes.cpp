#include "studio/server/routes/health_routes.hpp"

namespace studio {

void HealthRoutes::register_on(Router& router) {
  router.get("/healthz", [this](const Call&, httplib::Response& res) {
    Json health{{"serving", true}};
    bool ok = true;
    if (database_) {
      health["database"] = database_health();
      ok = ok && health["database"].value("reachable", false);
    }
    if (store_) {
      health["store"] = store_health();
      ok = ok && health["store"].value("reachable", false);
    }
    health["ok"] = ok;
    send_json(res, health, ok ? 200 : 503);
  });
}

Json HealthRoutes::database_health() const {
  try {
    Postgres::Session s(*database_);
    Json jobs = Json::object();
    if (s.run("SELECT to_regclass('tessaline_export_jobs') IS NOT NULL").text(0, 0) == "t") {
      const Rows rows = s.run("SELECT state, count(*) FROM tessaline_export_jobs GROUP BY state");
      for (int i = 0; i < rows.size(); ++i) jobs[rows.text(i, 0)] = rows.number(i, 1);
    }
    return {{"reachable", true}, {"jobs", jobs}};
  } catch (const std::exception& e) {
    return {{"reachable", false}, {"error", e.what()}};
  }
}

Json HealthRoutes::store_health() const {
  try {
    kit::s3::Client s3(*endpoint_);
    s3.head(store_->bucket, store_->internal_key("healthz"));  // absent is an answer too
    return {{"reachable", true}, {"store", store_->url()}};
  } catch (const std::exception& e) {
    return {{"reachable", false}, {"store", store_->url()}, {"error", e.what()}};
  }
}

}  // namespace studio
