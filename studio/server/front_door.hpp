#pragma once
// The trust decision, made once per request before routing and before a
// body is read: where the request comes from (RequestTrust), then whether
// its caller may use this studio at all (AccessControl): callers from other
// computers without the token or a signed-in session get 401, nothing read
// or changed.
#include <httplib.h>

#include <functional>
#include <optional>
#include <string>

#include "studio/server/access_control.hpp"
#include "studio/server/request_trust.hpp"

namespace studio {

class FrontDoor {
 public:
  // `belongs`: told the address of each caller from another computer that
  // showed the token or a signed-in session.
  using Belongs = std::function<void(const std::string& address)>;
  FrontDoor(const AccessControl& access, const RequestTrust& trust, Belongs belongs = {})
      : access_(access), trust_(trust), belongs_(std::move(belongs)) {}

  // Handled: the request was refused and answered.
  httplib::Server::HandlerResponse check(const httplib::Request& req, httplib::Response& res) const;

  // The user a browser from another computer signed in as; nothing for
  // callers on this computer and for robots showing the token.
  std::optional<std::string> signed_in(const httplib::Request& req) const;

 private:
  bool shows_token(const httplib::Request& req) const;
  httplib::Server::HandlerResponse check_access(const httplib::Request& req, httplib::Response& res) const;

  const AccessControl& access_;
  const RequestTrust& trust_;
  Belongs belongs_;
};

}  // namespace studio
