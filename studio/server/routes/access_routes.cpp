#include "studio/server/routes/access_routes.hpp"

#include <algorithm>

#include "kit/json/plain_name.hpp"
#include "studio/server/pages.hpp"
#include "studio/server/web_assets.hpp"

namespace studio {
namespace {

// Only a callback on this computer may receive a user name: scheme http,
// no user info, the host exactly a loopback name or address, an optional
// numeric port, then a path (or nothing).
bool loopback_http_url(const std::string& url) {
  constexpr std::string_view scheme = "http://";
  if (!url.starts_with(scheme)) return false;
  const std::string rest = url.substr(scheme.size());
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  if (authority.find('@') != std::string::npos || authority.find('\\') != std::string::npos) return false;
  std::string host = authority, port;
  if (authority.starts_with("[")) {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(0, close + 1);
    port = authority.substr(close + 1);
  } else if (const size_t colon = authority.find(':'); colon != std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon);
  }
  if (!port.empty()) {
    if (port.size() < 2 || port.size() > 6 || port[0] != ':' ||
        port.find_first_not_of("0123456789", 1) != std::string::npos) {
      return false;
    }
  }
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

// Where the access page may send a browser on: a path of this studio.
// Printable ASCII only: browsers drop tabs and line breaks from a Location,
// which would turn "/\t/evil.example" into "//evil.example".
bool local_path(const std::string& next) {
  const bool printable = std::all_of(next.begin(), next.end(), [](char c) { return c > 0x20 && c < 0x7f; });
  return printable && next.starts_with("/") && !next.starts_with("//") && next.find('\\') == std::string::npos;
}

std::string next_page(const httplib::Request& req) {
  return req.has_param("next") && local_path(req.get_param_value("next")) ? req.get_param_value("next") : "/velquin";
}

void send_login_page(const Call& call, httplib::Response& res) {
  const std::string redirect = call.req.has_param("redirect_uri") ? call.req.get_param_value("redirect_uri") : "";
  if (!loopback_http_url(redirect)) {
    res.status = 400;
    res.set_content("Sign-in needs a redirect_uri on this computer (http://127.0.0.1:PORT/...).", "text/plain");
    return;
  }
  std::string page(find_web_asset("login.html")->body);
  page.replace(page.find("{{REDIRECT_URI}}"), 16, html_escape(redirect));
  res.set_content(page, "text/html; charset=utf-8");
}

}  // namespace

void AccessRoutes::register_on(Router& router) {
  router.get("/access", [](const Call& call, httplib::Response& res) { send_access_page(res, next_page(call.req), "", 200); });
  router.post("/access", [this](const Call& call, httplib::Response& res) { sign_in(call, res); });
  router.get("/access/whoami", [](const Call& call, httplib::Response& res) {
    send_json(res, {{"user", call.signed_in ? Json(*call.signed_in) : Json(nullptr)}});
  });
  router.get("/api/auth/velquin-login", send_login_page);
}

void AccessRoutes::sign_in(const Call& call, httplib::Response& res) {
  const httplib::Request& req = call.req;
  const std::string next = next_page(req);
  const std::string user = req.has_param("user") ? req.get_param_value("user") : "";
  if (!access_.enforced() || !access_.token_matches(req.has_param("token") ? req.get_param_value("token") : "")) {
    send_access_page(res, next, "That is not this studio's access token.", 401);
    return;
  }
  if (!kit::json::plain_name(user, 100)) {
    send_access_page(res, next, "Give a user name of 1 to 100 printable characters.", 400);
    return;
  }
  res.set_header("Set-Cookie", std::string(AccessControl::kCookie) + "=" + access_.open_session(user) + "; Path=/; HttpOnly; SameSite=Strict");
  res.set_redirect(next, 303);
}

}  // namespace studio
