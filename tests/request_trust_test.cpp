// Where a request may come from: Host names (DNS rebinding), origins of
// browser requests (pages of other sites), and the body types that a page
// of another origin can send without a preflight.
#include "studio/server/request_trust.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using studio::RequestFacts;
using studio::RequestTrust;

TEST(RequestTrust, OnlyAddressesLoopbackThisComputerAndNamedHostsAreServed) {
  const RequestTrust trust({"studio.lab.example"});
  char self[256] = {};
  gethostname(self, sizeof self - 1);
  for (const std::string& host : std::vector<std::string>{"127.0.0.1:8080", "localhost:8080", "LOCALHOST", "[::1]:8080", "10.0.0.7:8080",
                                 "192.168.1.20", "[fe80::1]", "studio.lab.example:443", std::string(self) + ":8080"}) {
    EXPECT_TRUE(trust.host_allowed(host)) << host;
  }
  for (const std::string& host : std::vector<std::string>{"rebind.evil.example:8080", "evil.localhost:8080", "127.0.0.1.evil.example", "",
                                 "localhost:80x", "localhost:", "[::1", "[::1]x", "studio.lab.example.evil:80",
                                 "127.0.0.1:8080@evil.example"}) {
    EXPECT_FALSE(trust.host_allowed(host)) << host;
  }
}

struct Case {
  const char* what;
  RequestFacts facts;
  int status;  // 0: served
};

TEST(RequestTrust, PagesOfOtherOriginsCannotChangeOrReadAnything) {
  const RequestTrust trust({});
  const auto json = [](std::string_view origin, std::string_view site = "") {
    return RequestFacts{"POST", "/sessions/end", "127.0.0.1:8080", origin, site, "application/json"};
  };
  const Case cases[] = {
      {"a program's JSON post", json(""), 0},
      {"the studio's own page", json("http://127.0.0.1:8080", "same-origin"), 0},
      {"another port is another origin", json("http://127.0.0.1:3000", "same-site"), 403},
      {"another site", json("https://evil.example", "cross-site"), 403},
      {"a sandboxed frame", json("null", "cross-site"), 403},
      {"no Origin, but marked cross-site", json("", "cross-site"), 403},
      {"text/plain", {"POST", "/sessions/end", "127.0.0.1:8080", "", "", "text/plain"}, 415},
      {"a form", {"POST", "/sessions/end", "127.0.0.1:8080", "", "", "application/x-www-form-urlencoded"}, 415},
      {"no type", {"POST", "/sessions/end", "127.0.0.1:8080", "", "", ""}, 415},
      {"JSON with a charset", {"POST", "/sessions/end", "127.0.0.1:8080", "", "", "Application/JSON; charset=utf-8"}, 0},
      {"JSON look-alike", {"POST", "/sessions/end", "127.0.0.1:8080", "", "", "application/jsonp"}, 415},
      {"the sign-in form from its page", {"POST", "/access", "127.0.0.1:8080", "http://127.0.0.1:8080", "same-origin", "application/x-www-form-urlencoded", false, false, true}, 0},
      {"the sign-in form from another site", {"POST", "/access", "127.0.0.1:8080", "https://evil.example", "cross-site", "application/x-www-form-urlencoded", false, false, true}, 403},
      {"a rebound name", {"GET", "/datasets", "rebind.evil.example:8080", "", "", ""}, 421},
      {"a rebound name with the token", {"GET", "/datasets", "studio.lab:8080", "", "", "", true}, 0},
      {"data read by another site's script", {"GET", "/datasets", "127.0.0.1:8080", "", "cross-site", ""}, 403},
      {"a link from another site to a page", {"GET", "/velquin", "127.0.0.1:8080", "", "cross-site", "", false, true}, 0},
  };
  for (const Case& c : cases) {
    const auto refusal = trust.check(c.facts);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << c.what;
  }
}

}  // namespace
