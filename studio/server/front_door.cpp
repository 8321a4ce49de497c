#include "studio/server/front_door.hpp"

#include "studio/server/api_call.hpp"
#include "studio/server/pages.hpp"

namespace studio {
namespace {

// Pages a browser may be sent to from anywhere (a link, a bookmark); every
// other route answers only the studio's own pages and programs.
bool page_route(const std::string& path) {
  return path == "/" || path == "/velquin" || path == "/velquin/datasets" || path == "/access" ||
         path == "/api/auth/velquin-login" || path == "/favicon.ico";
}

}  // namespace

bool FrontDoor::shows_token(const httplib::Request& req) const {
  return access_.enforced() && access_.bearer_matches(req.get_header_value("Authorization"));
}

std::optional<std::string> FrontDoor::signed_in(const httplib::Request& req) const {
  if (!access_.enforced() || loopback_address(req.remote_addr) || shows_token(req)) return std::nullopt;
  return access_.session_user(req.get_header_value("Cookie"));
}

httplib::Server::HandlerResponse FrontDoor::check(const httplib::Request& req, httplib::Response& res) const {
  RequestFacts facts;
  facts.method = req.method;
  facts.path = req.path;
  const std::string host = req.get_header_value("Host"), origin = req.get_header_value("Origin"),
                    site = req.get_header_value("Sec-Fetch-Site"), type = req.get_header_value("Content-Type");
  facts.host = host;
  facts.origin = origin;
  facts.fetch_site = site;
  facts.content_type = type;
  facts.shows_token = shows_token(req);
  facts.page = req.method == "GET" && page_route(req.path);
  facts.form_post = req.path == "/access";
  if (const auto refusal = trust_.check(facts)) {
    send_json(res, {{"error", refusal->reason}}, refusal->status);
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
  }
  return check_access(req, res);
}

httplib::Server::HandlerResponse FrontDoor::check_access(const httplib::Request& req, httplib::Response& res) const {
  if (!access_.enforced() || loopback_address(req.remote_addr) || req.path == "/access" || req.path == "/healthz") {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  if (shows_token(req) || access_.session_user(req.get_header_value("Cookie"))) {
    if (belongs_) belongs_(req.remote_addr);
    return httplib::Server::HandlerResponse::Unhandled;
  }
  if (req.method == "GET" && !req.path.starts_with("/webrtc") && !req.path.starts_with("/sessions") &&
      !req.path.starts_with("/datasets")) {
    send_access_page(res, req.target, "", 401);  // a page: ask for the token
  } else {
    send_json(res, {{"error", "this studio needs its access token"}}, 401);
  }
  res.set_header("Connection", "close");  // the request's body is never read
  return httplib::Server::HandlerResponse::Handled;
}

}  // namespace studio
