#pragma once
// Signing in. A browser from another computer shows the token and a user
// name at /access (a session cookie carries it after); /access/whoami tells
// the page who it is. A robot's sign-in page (/api/auth/velquin-login)
// sends the user name on to the robot's callback on its own computer.
#include "studio/server/access_control.hpp"
#include "studio/server/router.hpp"

namespace studio {

class AccessRoutes {
 public:
  explicit AccessRoutes(AccessControl& access) : access_(access) {}
  void register_on(Router& router);

 private:
  void sign_in(const Call& call, httplib::Response& res);

  AccessControl& access_;
};

}  // namespace studio
