#pragma once
// Registers the studio's API routes on the HTTP server: each handler gets
// the request as a Call (body parsed, acting user decided) and its errors
// become answers (BadRequest 400, Forbidden 403, not found 404, a busy or
// last episode 409, anything else 500). POST bodies are read here, counted
// as they arrive whatever the framing, and refused past 1 MiB.
#include <httplib.h>

#include <functional>
#include <optional>
#include <string>

#include "studio/server/api_call.hpp"

namespace studio {

constexpr size_t kMaxBodyBytes = 1 << 20;  // an SDP is a few KiB; nothing here needs more

class Router {
 public:
  using Handler = std::function<void(const Call&, httplib::Response&)>;
  // The user a browser from another computer signed in as, if any.
  using SignedIn = std::function<std::optional<std::string>(const httplib::Request&)>;

  Router(httplib::Server& http, SignedIn signed_in) : http_(http), signed_in_(std::move(signed_in)) {}

  void get(const char* path, Handler handler);
  void post(const char* path, Handler handler);

 private:
  httplib::Server::Handler guarded(Handler handler) const;

  httplib::Server& http_;
  SignedIn signed_in_;
};

}  // namespace studio
