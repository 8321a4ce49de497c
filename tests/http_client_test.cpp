#include "kit/http/client.hpp"

#include <gtest/gtest.h>

#include "tests/support/local_http.hpp"

namespace {

using kit::http::Seconds;

TEST(HttpClient, PostsWireJsonAndKeepsTheTargetAsWritten) {
  test_support::LocalHttpServer srv;
  std::string seen_body, seen_target, seen_type, seen_param;
  srv.server().Post("/sessions/episodes/end", [&](const httplib::Request& req, httplib::Response& res) {
    seen_body = req.body;
    seen_target = req.target;
    seen_type = req.get_header_value("Content-Type");
    seen_param = req.get_param_value("x");
    res.set_content(R"({"episodeIndex": 0, "totalEpisodes": 1})", "application/json");
  });
  const std::string base = srv.start();
  kit::json::Json body{{"userId", "op"}, {"repoId", nullptr}};
  const auto res = kit::http::post_json(base + "/sessions/episodes/end?x=a%20b", body, Seconds(5));
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.json()["totalEpisodes"], 1);
  EXPECT_EQ(seen_body, R"({"userId": "op", "repoId": null})");
  EXPECT_EQ(seen_target, "/sessions/episodes/end?x=a%20b");  // not encoded a second time
  EXPECT_EQ(seen_param, "a b");
  EXPECT_EQ(seen_type, "application/json");
}

TEST(HttpClient, ErrorStatusesAndBadBodiesAreFailures) {
  test_support::LocalHttpServer srv;
  srv.server().Get("/fail", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
  srv.server().Get("/text", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<html>", "text/html");
  });
  const std::string base = srv.start();
  try {
    kit::http::get(base + "/fail", Seconds(5));
    FAIL() << "500 accepted";
  } catch (const kit::http::StatusError& e) {
    EXPECT_EQ(e.status, 500);
    EXPECT_EQ(std::string(e.what()), "500 Server Error: Internal Server Error for url: " + base + "/fail");
  }
  const auto res = kit::http::get(base + "/text", Seconds(5));
  EXPECT_THROW(res.json(), kit::http::Error);
}

TEST(HttpClient, ConnectionFailuresAndTimeLimits) {
  EXPECT_THROW(kit::http::get(test_support::closed_loopback_url() + "/x", Seconds(2)), kit::http::Error);
  EXPECT_THROW(kit::http::get("ftp://127.0.0.1/x", Seconds(1)), kit::http::Error);
  EXPECT_THROW(kit::http::get("127.0.0.1:80/x", Seconds(1)), kit::http::Error);

  test_support::LocalHttpServer srv;
  srv.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    res.set_content("{}", "application/json");
  });
  const std::string base = srv.start();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(kit::http::get(base + "/slow", Seconds(0.3)), kit::http::TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
}

}  // namespace
