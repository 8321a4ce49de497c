#pragma once
// GET /healthz, for a load balancer or an admin: whether this studio
// serves, and whether what it shares with the fleet answers — the store
// and the database — with the queue of export jobs by state. 200 when all
// answer, 503 naming what does not. Asked without the token: it tells
// nothing of users or datasets.
#include <memory>
#include <optional>
#include <string>

#include "kit/s3/client.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "studio/fleet/postgres.hpp"
#include "studio/server/router.hpp"

namespace studio {

class HealthRoutes {
 public:
  // `database` and `store` may be absent (a lone studio).
  HealthRoutes(std::shared_ptr<Postgres> database, std::optional<StoreAddress> store, std::optional<kit::s3::Endpoint> endpoint)
      : database_(std::move(database)), store_(std::move(store)), endpoint_(std::move(endpoint)) {}
  void register_on(Router& router);

 private:
  Json database_health() const;
  Json store_health() const;

  std::shared_ptr<Postgres> database_;
  std::optional<StoreAddress> store_;
  std::optional<kit::s3::Endpoint> endpoint_;
};

}  // namespace studio
