// A studio reachable from other computers, called from a second address
// (the test runs in a network namespace whose veth end carries 10.254.0.1):
// without the token nothing is read or changed, over HTTP or Flight; a
// robot with the token works; a browser signs in once and then acts only
// as its own user. Callers on loopback keep working without a token.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>

#include "kit/flight/flight.hpp"
#include "kit/json/text.hpp"
#include "studio/studio_server.hpp"
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
    auto batch = fl::RecordBatch::FromNamedArrays({{"user_id", fl::MakeStringArray({user})},
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
