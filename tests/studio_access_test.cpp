// A studio reachable from other computers, called from a second address
// (the test runs in a network namespace whose veth end carries 10.254.0.1):
// without the token nothing is read or changed, over HTTP or Flight; a
// robot with the token works; a browser signs in once and then acts only
// as its own user. Callers on loopback keep working without a token.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "kit/flight/flight.hpp"
#include "kit/json/text.hpp"
#include "studio/server/access_control.hpp"
#include "studio/server/studio_server.hpp"
#include "tessaline/grpc_client.hpp"

namespace {

namespace fs = std::filesystem;
namespace fl = kit::flight;
using kit::json::Json;

constexpr const char* kAddress = "10.254.0.1";  // see tests/browser/run_in_netns.sh
constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

class StudioAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("studio-access-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    auto options = studio::StudioOptions::on_loopback(dir_);
    options.host = "0.0.0.0";  // both loopback and the other address
    options.token = kToken;
    studio_ = std::make_unique<studio::Studio>(options);
  }
  void TearDown() override {
    studio_.reset();
    fs::remove_all(dir_);
  }
  httplib::Client client(const char* host = kAddress) {
    httplib::Client c(host, studio_->http_port());
    c.set_connection_timeout(5);
    return c;
  }
  // One put of a frame for `user` from `host`, with `headers` as metadata.
  void put(const std::string& host, const std::string& user, fl::FlightClient::Headers headers) {
    auto flight = fl::FlightClient::Connect(fl::Location::Parse("grpc://" + host + ":" + std::to_string(studio_->flight_port())),
                                            std::move(headers));
    auto batch = fl::RecordBatch::FromNamedArrays({{"action", fl::MakeFloat64ListArray({std::vector<double>{3, 4}})},
                                                  {"user_id", fl::MakeStringArray({user})},
                                                  {"state", fl::MakeFloat64ListArray({std::vector<double>{1, 2}})}});
    auto p = flight->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema());
    p.writer->WriteRecordBatch(*batch);
    p.writer->Close();
  }
  size_t staged_files() const {
    size_t n = 0;
    if (!fs::exists(dir_ / "staging")) return 0;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "staging")) n += e.is_regular_file();
    return n;
  }
  fs::path dir_;
  std::unique_ptr<studio::Studio> studio_;
};

TEST_F(StudioAccess, WithoutTheTokenNothingIsReadOrChanged) {
  auto open = studio::StudioOptions::on_loopback(dir_ / "open");
  open.host = kAddress;
  EXPECT_THROW(studio::Studio{open}, std::invalid_argument);  // no token, no studio beyond loopback
  auto c = client();
  const std::string offer = R"({"userId": "alice", "sdp": "v=0", "type": "offer"})";
  EXPECT_EQ(c.Post("/webrtc/offer", offer, "application/json")->status, 401);
  EXPECT_EQ(c.Get("/webrtc/offer?userId=alice")->status, 401);
  EXPECT_EQ(c.Get("/datasets")->status, 401);
  EXPECT_EQ(c.Post("/sessions/episodes/end", R"({"userId": "alice"})", "application/json")->status, 401);
  EXPECT_EQ(c.Get("/velquin/app.js")->status, 401);
  const auto page = c.Get("/velquin");
  EXPECT_EQ(page->status, 401);
  EXPECT_NE(page->body.find("needs its access token"), std::string::npos);  // a page that asks for it
  EXPECT_EQ(c.Get("/webrtc/offer?userId=alice", {{"Authorization", "Bearer wrong"}})->status, 401);
  try {
    put(kAddress, "alice", {});
    ADD_FAILURE() << "a put without the token was taken";
  } catch (const fl::FlightError& e) {
    EXPECT_NE(std::string(e.what()).find("access token"), std::string::npos) << e.what();
  }
  EXPECT_EQ(staged_files(), 0u);
  // Nothing reached the relay either.
  const auto seen = client("127.0.0.1").Get("/webrtc/offer?userId=alice");
  EXPECT_EQ(Json::parse(seen->body)["offerId"], nullptr);
}

TEST_F(StudioAccess, ARobotWithTheTokenAndCallersOnLoopbackWork) {
  auto c = client();
  const httplib::Headers bearer{{"Authorization", std::string("Bearer ") + kToken}};
  EXPECT_EQ(c.Post("/webrtc/offer", bearer, R"({"userId": "alice", "sdp": "v=0", "type": "offer"})", "application/json")->status,
            200);
  EXPECT_EQ(c.Get("/webrtc/offer?userId=alice", bearer)->status, 200);
  put(kAddress, "alice", {{"authorization", std::string("Bearer ") + kToken}});
  EXPECT_EQ(staged_files(), 1u);
  // The product's own client sends the token it finds in the environment.
  setenv("TESSALINE_STUDIO_TOKEN", kToken, 1);
  tessaline::VelquinGrpcClient robot(std::string(kAddress) + ":" + std::to_string(studio_->flight_port()), "alice");
  EXPECT_TRUE(robot.end_episode("http://" + std::string(kAddress) + ":" + std::to_string(studio_->http_port())));
  unsetenv("TESSALINE_STUDIO_TOKEN");
  // Loopback: as before, no token.
  EXPECT_EQ(client("127.0.0.1").Get("/webrtc/offer?userId=alice")->status, 200);
  put("127.0.0.1", "bob", {});
}

TEST_F(StudioAccess, ABrowserSignsInOnceAndActsOnlyAsItsUser) {
  auto c = client();
  EXPECT_EQ(c.Post("/access", "token=wrong&user=alice&next=%2Fvelquin", "application/x-www-form-urlencoded")->status, 401);
  const auto signed_in = c.Post("/access", std::string("token=") + kToken + "&user=alice&next=%2Fvelquin%2Fdatasets",
                                "application/x-www-form-urlencoded");
  ASSERT_EQ(signed_in->status, 303);
  EXPECT_EQ(signed_in->get_header_value("Location"), "/velquin/datasets");
  const std::string cookie = signed_in->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
  const httplib::Headers session{{"Cookie", cookie.substr(0, cookie.find(';'))}};

  EXPECT_EQ(c.Get("/velquin", session)->status, 200);
  EXPECT_EQ(Json::parse(c.Get("/access/whoami", session)->body)["user"], "alice");
  // Bob's robot offers; alice's browser can neither read nor answer it.
  const httplib::Headers bearer{{"Authorization", std::string("Bearer ") + kToken}};
  c.Post("/webrtc/offer", bearer, R"({"userId": "bob", "sdp": "v=0 bob", "type": "offer"})", "application/json");
  EXPECT_EQ(c.Get("/webrtc/offer?userId=bob", session)->status, 403);
  EXPECT_EQ(c.Post("/webrtc/answer", session, R"({"userId": "bob", "offerId": 1, "sdp": "x", "type": "answer"})",
                   "application/json")->status,
            403);
  EXPECT_EQ(c.Post("/sessions/episodes/reset", session, R"({"userId": "bob"})", "application/json")->status, 403);
  EXPECT_EQ(c.Get("/webrtc/offer?userId=alice", session)->status, 200);
  // Open redirects are not: only paths of this studio.
  const auto elsewhere = c.Post("/access", std::string("token=") + kToken + "&user=alice&next=%2F%2Fevil.example%2F",
                                "application/x-www-form-urlencoded");
  EXPECT_EQ(elsewhere->get_header_value("Location"), "/velquin");
}

}  // namespace

// Two users signed in from another computer, each trying the other's data
// every way a body can be framed: only JSON bodies are taken, the user is
// decided once from what the handler acts on, and a dataset stays its
// creator's.
class TwoUsers : public StudioAccess {
 protected:
  void SetUp() override {
    StudioAccess::SetUp();
    alice_ = sign_in("alice");
    bob_ = sign_in("bob");
  }
  httplib::Headers sign_in(const std::string& user) {
    const auto r = client().Post("/access", std::string("token=") + kToken + "&user=" + user + "&next=%2Fvelquin",
                                 "application/x-www-form-urlencoded");
    const std::string cookie = r->get_header_value("Set-Cookie");
    return {{"Cookie", cookie.substr(0, cookie.find(';'))}};
  }
  // What a robot does with the token: a frame, then the episode's end.
  void robot_episode(const std::string& user) {
    put(kAddress, user, {{"authorization", bearer()}});
    ASSERT_EQ(client().Post("/sessions/episodes/end", {{"Authorization", bearer()}},
                            Json{{"userId", user}}.dump(), "application/json")->status, 200);
  }
  static std::string bearer() { return std::string("Bearer ") + kToken; }
  httplib::Headers alice_, bob_;
};

TEST_F(TwoUsers, OnlyJsonBodiesAreTakenAndTheActingUserIsDecidedOnce) {
  auto c = client();
  const httplib::Headers robot{{"Authorization", bearer()}};
  ASSERT_EQ(c.Post("/webrtc/offer", robot, R"({"userId": "bob", "sdp": "v=0 bob", "type": "offer"})", "application/json")->status, 200);
  put(kAddress, "bob", {{"authorization", bearer()}});  // an open episode of bob's
  const size_t staged = staged_files();
  const std::string answer = R"({"userId": "bob", "offerId": 1, "sdp": "v=0 intruder", "type": "answer"})";
  // The same JSON as text, as a form, or as a form that is also JSON: refused before any handler.
  for (const char* type : {"text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x", ""}) {
    EXPECT_EQ(c.Post("/webrtc/answer", alice_, answer, type)->status, 415) << type;
    EXPECT_EQ(c.Post("/webrtc/ice", alice_, R"({"userId": "bob", "sender": "browser", "candidate": "candidate:1"})", type)->status, 415);
    EXPECT_EQ(c.Post("/sessions/task", alice_, R"({"userId": "bob", "task": "mine now"})", type)->status, 415);
    EXPECT_EQ(c.Post("/sessions/episodes/reset", alice_, R"({"userId": "bob"})", type)->status, 415);
    EXPECT_EQ(c.Post("/sessions/end", alice_, R"({"userId": "bob", "repoId": "alice/loot"})", type)->status, 415);
  }
  EXPECT_EQ(c.Post("/sessions/episodes/reset", alice_, "userId=bob", "application/x-www-form-urlencoded")->status, 415);
  // JSON naming bob: the signed-in user is alice.
  EXPECT_EQ(c.Post("/webrtc/answer", alice_, answer, "application/json")->status, 403);
  // The query names alice, the body bob: which one would the handler act on? Neither.
  EXPECT_EQ(c.Post("/sessions/episodes/reset?userId=alice", alice_, R"({"userId": "bob"})", "application/json")->status, 400);
  EXPECT_EQ(c.Post("/sessions/episodes/end?userId=alice", alice_, R"({"userId": "bob"})", "application/json")->status, 400);
  // A userId that is not text is no user at all.
  EXPECT_EQ(c.Post("/sessions/episodes/reset", alice_, R"({"userId": ["bob"]})", "application/json")->status, 400);
  // Nothing of bob's changed: no answer, frames still staged.
  EXPECT_EQ(Json::parse(c.Get("/webrtc/answer?userId=bob", robot)->body)["sdp"], "");
  EXPECT_EQ(staged_files(), staged);
  // Bob himself, the right way, works.
  EXPECT_EQ(c.Post("/webrtc/answer", bob_, answer, "application/json; charset=utf-8")->status, 200);
}

TEST_F(TwoUsers, ADatasetStaysItsCreatorsAndStatusesAreTheOwnersOnly) {
  auto c = client();
  const httplib::Headers robot{{"Authorization", bearer()}};
  robot_episode("bob");
  ASSERT_EQ(c.Post("/sessions/end", robot, R"({"userId": "bob", "repoId": "bob/set", "fps": 30})", "application/json")->status, 200);
  Json state;
  for (int i = 0; i < 1500; ++i) {
    state = Json::parse(c.Get("/sessions/export-status?repoId=bob%2Fset&userId=bob", bob_)->body);
    if (state["state"] != "running") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(state["state"], "done") << state;
  EXPECT_EQ(state["datasetDir"], "datasets/bob%2Fset");  // never where the studio keeps it on its computer
  const fs::path sidecar = dir_ / "datasets" / "bob%2Fset" / "meta" / "tessaline.json";
  const std::string owner_before = Json::parse(std::ifstream(sidecar))["user_id"];
  ASSERT_EQ(owner_before, "bob");

  // Alice's robot ends her session into bob's repository: refused, her episode kept for another one.
  robot_episode("alice");
  const auto taken = c.Post("/sessions/end", robot, R"({"userId": "alice", "repoId": "bob/set"})", "application/json");
  EXPECT_EQ(taken->status, 403) << taken->body;
  EXPECT_EQ(Json::parse(std::ifstream(sidecar))["user_id"], "bob");
  EXPECT_EQ(c.Post("/sessions/export/retry", robot, R"({"userId": "alice", "repoId": "bob/set"})", "application/json")->status, 403);
  // Her browser can neither read nor change bob's dataset, nor see how his export went.
  EXPECT_EQ(c.Get("/datasets/episodes?repoId=bob%2Fset", alice_)->status, 403);
  EXPECT_EQ(c.Get("/datasets/episode?repoId=bob%2Fset&episode=0", alice_)->status, 403);
  EXPECT_EQ(c.Post("/datasets/episodes/delete", alice_, R"({"repoId": "bob/set", "episode": 0})", "application/json")->status, 403);
  EXPECT_EQ(Json::parse(c.Get("/sessions/export-status?repoId=bob%2Fset&userId=alice", alice_)->body)["state"], "unknown");
  EXPECT_EQ(c.Get("/sessions/export-status?repoId=bob%2Fset&userId=bob", alice_)->status, 403);
  EXPECT_EQ(c.Get("/datasets/episodes?repoId=bob%2Fset", bob_)->status, 200);
  // Her episode went nowhere: it exports into a repository of her own.
  const auto own = c.Post("/sessions/end", robot, R"({"userId": "alice", "repoId": "alice/set"})", "application/json");
  EXPECT_EQ(Json::parse(own->body)["episodes"], 1) << own->body;
}

TEST_F(TwoUsers, SignInRedirectsOnlyToPlainLocalPaths) {
  auto c = client();
  for (const char* next : {"%2F%09%2Fevil.example%2F", "%2F%0A%2Fevil.example", "%2F%5Cevil.example", "%2F%2Fevil.example",
                           "https%3A%2F%2Fevil.example", "%2F%0D%0ASet-Cookie%3Ax%3D1"}) {
    const auto r = c.Post("/access", std::string("token=") + kToken + "&user=carol&next=" + next, "application/x-www-form-urlencoded");
    EXPECT_EQ(r->get_header_value("Location"), "/velquin") << next;
  }
  const auto fine = c.Post("/access", std::string("token=") + kToken + "&user=carol&next=%2Fvelquin%2Fdatasets%3Fx%3D1",
                           "application/x-www-form-urlencoded");
  EXPECT_EQ(fine->get_header_value("Location"), "/velquin/datasets?x=1");
}

TEST(AccessSessions, PastTheCapTheOldestSessionGoesFirst) {
  studio::AccessControl access("token");
  const std::string first = access.open_session("first");
  const std::string second = access.open_session("second");
  for (int i = 2; i < 10000; ++i) access.open_session("u");
  access.open_session("newest");
  EXPECT_FALSE(access.session_user(std::string(studio::AccessControl::kCookie) + "=" + first));
  EXPECT_EQ(access.session_user(std::string(studio::AccessControl::kCookie) + "=" + second), "second");
}
