#pragma once
// Whether a request comes from the studio's own pages or a program, decided
// before anything else looks at it. A web page on another origin that the
// operator happens to have open can make the browser send requests here; it
// cannot choose their Host (a name it rebinds to this computer is refused),
// hide its Origin, or send a JSON body without a CORS preflight, which this
// studio never grants. So:
//   - the Host must be a loopback name, an IP address, this computer's name
//     or a name given with --allowed-host (a studio behind a reverse proxy);
//     requests that show the access token are exempt: a page cannot;
//   - a request that carries an Origin must come from this very origin, and
//     one marked by the browser as fetched from another site is refused for
//     everything but page navigations;
//   - a request that changes something must send its body as JSON
//     (the sign-in form excepted, which the Origin rule covers).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace studio {

struct Refusal {
  int status;
  std::string reason;
};

// What the trust check needs of a request.
struct RequestFacts {
  std::string_view method;
  std::string_view path;
  std::string_view host;           // the Host header
  std::string_view origin;         // the Origin header, or empty
  std::string_view fetch_site;     // Sec-Fetch-Site, or empty
  std::string_view content_type;
  bool shows_token = false;        // a valid "Authorization: Bearer" came with it
  bool page = false;               // a page route a browser may navigate to from anywhere
  bool form_post = false;          // the sign-in form: a urlencoded POST is its only form
};

class RequestTrust {
 public:
  // `extra_hosts`: further names this studio is reached by (no port).
  explicit RequestTrust(std::vector<std::string> extra_hosts);

  std::optional<Refusal> check(const RequestFacts& request) const;

  // "127.0.0.1:8080", "[::1]", "localhost", this computer's name, or a named extra.
  bool host_allowed(std::string_view host_header) const;

 private:
  std::vector<std::string> names_;  // lower case
};

// Whether a Content-Type names JSON ("application/json", any parameters).
bool json_content_type(std::string_view content_type);

}  // namespace studio
