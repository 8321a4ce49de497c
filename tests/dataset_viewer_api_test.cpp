// What the dataset viewer reads from the studio: the list, a dataset's
// episodes, an episode's joint values, its videos in ranges, and deleting
// an episode so that the independent readers still accept the dataset.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "kit/http/client.hpp"
#include "studio/studio_server.hpp"
#include "tests/support/logged_episodes.hpp"

namespace {

namespace fs = std::filesystem;
using kit::json::Json;

std::string url_encoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : buf;
  }
  return out;
}

class DatasetViewerApi : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("viewer-api-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    studio_ = std::make_unique<studio::Studio>(studio::StudioOptions::on_loopback(dir_ / "data"));
    const test_support::StudioUrls urls{studio_->http_url(), studio_->flight_url()};
    test_support::record_episodes(urls, "op", {5, 7, 4}, "stack the cups");
    post("/sessions/end", {{"userId", "op"}, {"repoId", "lab/cups"}, {"fps", 15}});
    ASSERT_EQ(test_support::wait_for_export(urls.http, "lab/cups")["state"], "done");
  }
  void TearDown() override {
    studio_.reset();
    fs::remove_all(dir_);
  }
  Json post(const std::string& path, const Json& body) {
    return kit::http::post_json(studio_->http_url() + path, body, kit::http::Seconds(10)).json();
  }
  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", studio_->http_port());
    return client.Get(path.c_str(), headers);
  }
  fs::path dataset() const { return dir_ / "data" / "datasets" / "lab%2Fcups"; }
  fs::path dir_;
  std::unique_ptr<studio::Studio> studio_;
};

TEST_F(DatasetViewerApi, ListsDatasetsEpisodesAndAnEpisodesJoints) {
  const Json list = Json::parse(get("/datasets")->body)["datasets"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["repoId"], "lab/cups");
  EXPECT_EQ(list[0]["robotType"], "so101_follower");
  EXPECT_EQ(list[0]["episodes"], 3);
  EXPECT_EQ(list[0]["frames"], 16);
  EXPECT_NEAR(list[0]["durationSeconds"].get<double>(), 16 / 15.0, 1e-9);
  EXPECT_GT(list[0]["bytes"].get<long>(), 1000);
  EXPECT_EQ(list[0]["cameras"].size(), 2u);

  const Json episodes = Json::parse(get("/datasets/episodes?repoId=lab%2Fcups")->body);
  ASSERT_EQ(episodes["episodes"].size(), 3u);
  const Json& second = episodes["episodes"][1];
  EXPECT_EQ(second["length"], 7);
  EXPECT_EQ(second["tasks"], Json::array({"stack the cups"}));
  const Json& video = second["videos"]["observation.images.cam_front"];
  EXPECT_EQ(video["path"], "videos/observation.images.cam_front/chunk-000/file-000.mp4");
  EXPECT_NEAR(video["from"].get<double>(), 5 / 15.0, 1e-9);
  EXPECT_NEAR(video["to"].get<double>(), 12 / 15.0, 1e-9);

  const Json ep = Json::parse(get("/datasets/episode?repoId=lab%2Fcups&episode=1")->body);
  EXPECT_EQ(ep["length"], 7);
  EXPECT_EQ(ep["frameIndex"][6], 6);
  EXPECT_EQ(ep["action"]["names"][0], "shoulder_pan.pos");
  ASSERT_EQ(ep["state"]["values"].size(), 6u);             // one series per joint
  EXPECT_EQ(ep["state"]["values"][2][4], 4 + 2);           // frame 4, joint 2
  EXPECT_EQ(ep["action"]["values"][1][4], 0.5 * 4 - 1);

  EXPECT_EQ(get("/datasets/episodes?repoId=nope")->status, 404);
  EXPECT_EQ(get("/datasets/episode?repoId=lab%2Fcups&episode=3")->status, 404);
  EXPECT_EQ(get("/datasets/episode?repoId=lab%2Fcups&episode=-1")->status, 400);
}

TEST_F(DatasetViewerApi, VideosAreServedInRangesAndNothingElseIs) {
  const std::string rel = "videos/observation.images.cam_wrist/chunk-000/file-000.mp4";
  std::ifstream in(dataset() / rel, std::ios::binary);
  const std::string file{std::istreambuf_iterator<char>(in), {}};
  const std::string url = "/datasets/video?repoId=lab%2Fcups&path=" + rel;
  const auto whole = get(url);
  ASSERT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, file);
  EXPECT_EQ(whole->get_header_value("Content-Type"), "video/mp4");
  const auto part = get(url, {{"Range", "bytes=100-199"}});
  ASSERT_EQ(part->status, 206);
  EXPECT_EQ(part->body, file.substr(100, 100));
  EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 100-199/" + std::to_string(file.size()));
  for (const std::string bad : {"meta/info.json", "videos/../meta/info.json", "videos/observation.images.cam_wrist/../../../../etc/passwd",
                                "/etc/passwd", "videos/.x/chunk-000/file-000.mp4"}) {
    EXPECT_EQ(get("/datasets/video?repoId=lab%2Fcups&path=" + url_encoded(bad))->status, 404) << bad;
  }
}

TEST_F(DatasetViewerApi, DeletingAnEpisodeLeavesADatasetTheReadersAccept) {
  const Json deleted = post("/datasets/episodes/delete", {{"repoId", "lab/cups"}, {"episode", 1}});
  EXPECT_EQ(deleted["frames"], 7);
  EXPECT_EQ(deleted["episodes"], 2);
  const Json d = test_support::read_dataset(dataset());
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 2);
  EXPECT_EQ(d["info"]["total_frames"], 9);
  ASSERT_EQ(d["episodes"].size(), 2u);
  EXPECT_EQ(d["episodes"][1]["length"], 4);  // the old episode 2, now 1
  EXPECT_EQ(d["frames"][5]["episode_index"], 1);
  EXPECT_EQ(d["frames"][5]["frame_index"], 0);
  std::ifstream stats_file(dataset() / "meta" / "stats.json");
  const Json stats = Json::parse(stats_file);
  EXPECT_EQ(stats["action"]["count"], Json::array({9}));
  EXPECT_EQ(stats["episode_index"]["max"], Json::array({1}));
  EXPECT_FALSE(fs::exists(dataset() / ".tessaline-export"));

  // The episode that moved plays from where it was.
  const Json episodes = Json::parse(get("/datasets/episodes?repoId=lab%2Fcups")->body);
  EXPECT_NEAR(episodes["episodes"][1]["videos"]["observation.images.cam_front"]["from"].get<double>(), 12 / 15.0, 1e-9);

  httplib::Client client("127.0.0.1", studio_->http_port());
  const auto delete_status = [&](const char* body) {
    return client.Post("/datasets/episodes/delete", body, "application/json")->status;
  };
  EXPECT_EQ(delete_status(R"({"repoId": "lab/cups", "episode": 2})"), 404);
  EXPECT_EQ(delete_status(R"({"repoId": "lab/cups", "episode": "1"})"), 400);
  EXPECT_EQ(delete_status(R"({"repoId": "lab/cups", "episode": 0})"), 200);
  EXPECT_EQ(delete_status(R"({"repoId": "lab/cups", "episode": 0})"), 409);  // the last one stays
  EXPECT_EQ(test_support::read_dataset(dataset())["problems"], Json::array());
}

}  // namespace
