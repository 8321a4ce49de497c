// VelquinSession's counters, episode requests and close against the studio
// (frames over real Flight, requests over real HTTP), without a browser.
#include "tessaline/session.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>

#include "kit/log/logger.hpp"
#include "studio/server/studio_server.hpp"
#include "tessaline/config.hpp"
#include "tests/support/local_http.hpp"

namespace {

using tessaline::Json;
namespace fs = std::filesystem;

struct CapturedLog : kit::log::Handler {
  void emit(const kit::log::Record& r) override { lines.push_back(std::string(r.message)); }
  std::vector<std::string> lines;
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("session-test-" + std::to_string(getpid()));
    studio_ = std::make_unique<studio::Studio>(studio::StudioOptions::on_loopback(dir_));
    saved_grpc_ = tessaline::config::VELQUIN_GRPC_SERVER;
    tessaline::config::VELQUIN_GRPC_SERVER = studio_->flight_url();
    kit::log::get_logger().set_level(kit::log::Level::DEBUG);
    kit::log::get_logger().add_handler(log_);
  }
  void TearDown() override {
    kit::log::get_logger().remove_handler(log_);
    tessaline::config::VELQUIN_GRPC_SERVER = saved_grpc_;
    studio_.reset();
    fs::remove_all(dir_);
  }
  tessaline::RecordPtr frame(double t) {
    auto r = std::make_shared<tessaline::Record>();
    r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, std::vector<float>{float(t)}));
    r->set("timestamp", t);
    return r;
  }
  bool logged(const std::string& line) const {
    return std::find(log_->lines.begin(), log_->lines.end(), line) != log_->lines.end();
  }

  fs::path dir_;
  std::unique_ptr<studio::Studio> studio_;
  std::string saved_grpc_;
  std::shared_ptr<CapturedLog> log_ = std::make_shared<CapturedLog>();
};

TEST_F(SessionTest, CountersFollowEpisodesEndsAndResets) {
  tessaline::VelquinSession session({"observation.images.cam_front"}, "lab/towels", "koch_follower", 30,
                                    studio_->http_url(), "op");
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) session.log_frame(frame(i / 30.0), {0.1, 0.2}, i == 2);
  EXPECT_EQ(session.episode_frame_count(), 3);
  EXPECT_TRUE(session.end_episode());
  EXPECT_TRUE(logged("Episode 0 ended with 3 frames"));
  EXPECT_TRUE(logged("(episode 1 on the operator's page, which counts from 1)"));
  EXPECT_EQ(session.episode_index(), 1);
  EXPECT_EQ(session.episode_frame_count(), 0);
  EXPECT_EQ(session.total_frame_count(), 3);
  for (int i = 0; i < 2; ++i) session.log_frame(frame(i / 30.0), {0.1});
  EXPECT_TRUE(session.reset_episode());
  EXPECT_TRUE(logged("Episode 1 reset, 2 frames cleared"));
  EXPECT_EQ(session.episode_index(), 1);
  EXPECT_EQ(session.episode_frame_count(), 0);
  EXPECT_EQ(session.total_frame_count(), 5);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[gRPC Client] Episode reset, 2 frames cleared"), std::string::npos) << out;
}

// The studio answers an episode's end with the frames it holds; frames the
// robot logged that never arrived are said, counted, at the end.
TEST_F(SessionTest, FramesThatNeverReachedTheStudioAreCountedAtTheEpisodesEnd) {
  tessaline::VelquinSession session({"observation.images.cam_front"}, "lab/towels", "koch_follower", 30,
                                    studio_->http_url(), "op");
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3; ++i) session.log_frame(frame(i / 30.0), {0.1});
  session.log_frame(std::make_shared<tessaline::Record>(), {0.1}, true);  // no state: it cannot be sent
  EXPECT_TRUE(session.end_episode());
  for (int i = 0; i < 2; ++i) session.log_frame(frame(i / 30.0), {0.1}, i == 1);
  EXPECT_TRUE(session.end_episode());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[gRPC Client] Episode 0: the studio holds 3 of the 4 frames logged; 1 missing"), std::string::npos) << out;
  EXPECT_EQ(out.find("Episode 1: the studio holds"), std::string::npos) << out;  // whole: nothing said
}

TEST_F(SessionTest, FailedEpisodeRequestsChangeNoCounter) {
  tessaline::VelquinSession session({"observation.images.cam_front"}, "repo", "x", 30,
                                    test_support::closed_loopback_url(), "op");
  session.log_frame(frame(0), {0.0}, true);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(session.end_episode());
  EXPECT_FALSE(session.reset_episode());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(session.episode_index(), 0);
  EXPECT_EQ(session.episode_frame_count(), 1);
}

TEST_F(SessionTest, DefaultsComeFromTheSettings) {
  const std::string saved = tessaline::config::VELQUIN_HTTP_SERVER;
  tessaline::config::VELQUIN_HTTP_SERVER = studio_->http_url();
  {
    tessaline::VelquinSession session({"observation.images.cam_front"}, "dataset", "unknown", 30, "", "op");
    EXPECT_EQ(session.repo_id(), "dataset");
    EXPECT_EQ(session.user_id(), "op");
    session.log_frame(frame(0), {}, true);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(session.end_episode());  // reached the configured backend
    testing::internal::GetCapturedStdout();
  }
  tessaline::config::VELQUIN_HTTP_SERVER = "";
  EXPECT_THROW(tessaline::VelquinSession({"observation.images.cam_front"}, "d", "u", 30, "", "op"),
               std::invalid_argument);
  tessaline::config::VELQUIN_HTTP_SERVER = saved;
}

TEST_F(SessionTest, CloseExportsOnlyWhenFramesWereLoggedAndStopsTheLoop) {
  test_support::LocalHttpServer backend;
  std::vector<std::string> exports;
  backend.server().Post("/sessions/end", [&](const httplib::Request& req, httplib::Response& res) {
    exports.push_back(req.body);
    res.set_content(R"({"status": "exporting"})", "application/json");
  });
  backend.server().Post("/sessions/episodes/end", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"episodeIndex": 0, "totalEpisodes": 1})", "application/json");
  });
  backend.start();
  {
    tessaline::VelquinSession empty({"observation.images.cam_front"}, "repo", "x", 30, backend.base_url(), "op");
    empty.send_status("idle");  // no loop yet: straight to the streamer, which drops it
    empty.close(true);
    EXPECT_FALSE(empty.loop_running());
  }
  EXPECT_TRUE(exports.empty());
  {
    tessaline::VelquinSession session({"observation.images.cam_front"}, "lab/towels", "so101_follower", 15,
                                      backend.base_url(), "op");
    testing::internal::CaptureStdout();
    // Two episodes ended, a third begun: the export has the two.
    for (int episode = 0; episode < 2; ++episode) {
      session.log_frame(frame(0), {1.0}, true);
      ASSERT_TRUE(session.end_episode());
    }
    session.log_frame(frame(0), {1.0}, false);
    session.close(true);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(session.loop_running());
  }
  ASSERT_EQ(exports.size(), 1u);
  EXPECT_EQ(exports[0], R"({"userId": "op", "repoId": "lab/towels", "robotType": "so101_follower", "fps": 15})");
  EXPECT_TRUE(logged("Exporting dataset 'lab/towels' with 2 episode(s)..."));
  EXPECT_TRUE(logged("Dataset export started: {'status': 'exporting'}"));
}

TEST_F(SessionTest, ExportFailureIsLoggedNotThrown) {
  tessaline::VelquinSession session({"observation.images.cam_front"}, "repo", "x", 30,
                                    test_support::closed_loopback_url(), "op");
  session.log_frame(frame(0), {1.0}, true);
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(session.close(true));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::any_of(log_->lines.begin(), log_->lines.end(),
                          [](const std::string& l) { return l.rfind("Failed to export dataset: ", 0) == 0; }));
}

}  // namespace
