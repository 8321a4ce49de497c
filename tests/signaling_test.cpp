// WebRTCStreamer's signaling against a real HTTP server that misbehaves.
// Creates real peer connections, so it runs inside a network namespace.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <mutex>

#include "kit/loop/event_loop.hpp"
#include "tessaline/session.hpp"
#include "tessaline/webrtc_streamer.hpp"

#include <fstream>
#include "tests/support/local_http.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;
using tessaline::Json;

std::string connect_error(kit::EventLoop& loop, tessaline::WebRTCStreamer& streamer) {
  try {
    loop.run_blocking(streamer.connect({"observation.images.cam_front"}), 30s);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Signaling, RejectedOfferFailsWithItsStatus) {
  for (int status : {201, 500}) {
    test_support::LocalHttpServer srv;
    srv.server().Post("/webrtc/offer", [status](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.set_content("{}", "application/json");
    });
    kit::EventLoop loop;
    tessaline::WebRTCStreamer streamer(srv.start(), nullptr, "op");
    EXPECT_EQ(connect_error(loop, streamer), "Failed to send offer: " + std::to_string(status));
    loop.run_blocking(streamer.close(), 10s);
  }
}

TEST(Signaling, PollsPatientlyKeepsItsCursorAndStopsWhenClosed) {
  test_support::LocalHttpServer srv;
  std::mutex m;
  std::vector<std::string> own_candidates, answer_targets, ice_targets;
  std::string offer_body;
  srv.server().Post("/webrtc/offer", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(m);
    offer_body = req.body;
    res.set_content("{}", "application/json");
  });
  srv.server().Post("/webrtc/ice", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(m);
    own_candidates.push_back(req.body);
    res.status = 503;  // ignored by the robot
  });
  srv.server().Get("/webrtc/answer", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(m);
    answer_targets.push_back(req.target);
    // An empty answer and garbage both mean "not yet".
    res.set_content(answer_targets.size() % 2 ? R"({"sdp": "", "type": "answer"})" : "<html>", "application/json");
  });
  srv.server().Get("/webrtc/ice", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(m);
    ice_targets.push_back(req.target);
    switch (ice_targets.size()) {
      case 1: res.set_content(R"({"candidates": [], "nextSince": 5})", "application/json"); break;
      case 2: res.set_content(R"({"candidates": [{"candidate": "candidate:1 1 udp 1 a.local 9 typ host"}]})",
                              "application/json"); break;
      case 3: res.set_content(R"({"candidates": [7], "nextSince": 99})", "application/json"); break;
      default: res.set_content("garbage", "text/plain");
    }
  });
  kit::EventLoop loop;
  loop.start();
  tessaline::WebRTCStreamer streamer(srv.start(), nullptr, "u&v");
  auto connecting = asio::co_spawn(loop.context(), streamer.connect({"observation.images.cam_front"}), asio::use_future);
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(m);
    if (answer_targets.size() >= 3 && ice_targets.size() >= 5) break;
  }
  loop.run_blocking(streamer.close(), 10s);
  ASSERT_EQ(connecting.wait_for(10s), std::future_status::ready);
  try {
    connecting.get();
    FAIL() << "connect returned although no answer came";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Polling stopped before receiving an answer");
  }

  std::lock_guard lock(m);
  const Json offer = Json::parse(offer_body);
  EXPECT_EQ(offer["type"], "offer");
  EXPECT_EQ(offer["userId"], "u&v");
  EXPECT_EQ(offer["cameraNames"], Json::array({"observation.images.cam_front"}));
  EXPECT_NE(offer["sdp"].get<std::string>().find("m=video"), std::string::npos);
  // Every local candidate was posted, in SDP order, though the server refused them.
  size_t lines = 0;
  for (size_t p = 0; (p = offer["sdp"].get<std::string>().find("a=candidate:", p)) != std::string::npos; ++p) ++lines;
  EXPECT_EQ(own_candidates.size(), lines);
  EXPECT_GE(answer_targets.size(), 3u);
  EXPECT_EQ(answer_targets[0], "/webrtc/answer?userId=u&v");  // inserted as it stands
  ASSERT_GE(ice_targets.size(), 5u);
  EXPECT_EQ(ice_targets[0], "/webrtc/ice?userId=u&v&receiver=robot&since=0");
  EXPECT_EQ(ice_targets[1], "/webrtc/ice?userId=u&v&receiver=robot&since=5");
  EXPECT_EQ(ice_targets[2], "/webrtc/ice?userId=u&v&receiver=robot&since=5");  // no nextSince: cursor kept
  EXPECT_EQ(ice_targets[3], "/webrtc/ice?userId=u&v&receiver=robot&since=5");  // a bad entry abandons the cycle
  EXPECT_FALSE(streamer.has_peer_connection());
}

TEST(SessionConnect, BrowserThatNeverAnswersGivesFalseAtTheLimitAndLeavesNothingRunning) {
  test_support::LocalHttpServer srv;
  srv.server().Post("/webrtc/offer", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  srv.server().Post("/webrtc/ice", [](const httplib::Request&, httplib::Response& res) { res.set_content("{}", "application/json"); });
  srv.server().Get("/webrtc/answer", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"sdp": ""})", "application/json");
  });
  srv.server().Get("/webrtc/ice", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"candidates": [], "nextSince": 0})", "application/json");
  });
  const std::string base = srv.start();
  std::vector<long> threads_after;
  for (int round = 0; round < 3; ++round) {
    tessaline::VelquinSession session({"observation.images.cam_front"}, "repo", "x", 30, base, "op");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.connect(1.0));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 5900ms);  // timeout + 5 s
    EXPECT_LT(took, 9s);
    session.close(false);
    EXPECT_FALSE(session.loop_running());
    threads_after.push_back(test_support::settled_thread_count(
        threads_after.empty() ? 2.0 : 30.0, threads_after.empty() ? 0 : threads_after[0] + 2));
  }
  // GStreamer and the HTTP pool start their threads once; sessions add none that stay.
  EXPECT_LE(threads_after[2], threads_after[0] + 2) << threads_after[0] << " then " << threads_after[2];
}

}  // namespace
