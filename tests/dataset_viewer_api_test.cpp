// What the dataset viewer reads from the studio: the list, a dataset's
// episodes, an episode's joint values, its videos in ranges, and deleting
// an episode so that the independent readers still accept the dataset.
#include <gtest/gtest.h>

#include <map>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <utility>

#include "kit/http/client.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_check.hpp"
#include "studio/server/studio_server.hpp"
#include "tests/support/logged_episodes.hpp"
#include "tests/support/process.hpp"

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
  const auto video_of = [&](const char* camera) { return dataset() / "videos" / camera / "chunk-000" / "file-000.mp4"; };
  const auto before = test_support::decoded_frames(video_of("observation.images.cam_front"), 96, 64);
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

  // The video without the episode: the next one now starts where it began,
  // and every frame is at the place index/fps says. Its episodes start on
  // key frames, so the kept ones were copied, not encoded again: not a
  // level of any pixel changed.
  const auto after = test_support::decoded_frames(video_of("observation.images.cam_front"), 96, 64);
  ASSERT_EQ(before.size(), 16u);
  ASSERT_EQ(after.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(after[i], before[i < 5 ? i : i + 7]) << "frame " << i << " changed";
  const Json episodes = Json::parse(get("/datasets/episodes?repoId=lab%2Fcups")->body);
  EXPECT_NEAR(episodes["episodes"][1]["videos"]["observation.images.cam_front"]["from"].get<double>(), 5 / 15.0, 1e-9);
  for (const auto& [camera, c] : {std::pair{"observation.images.cam_front", 0}, std::pair{"observation.images.cam_wrist", 1}}) {
    const auto frames = test_support::decoded_frames(dataset() / "videos" / camera / "chunk-000" / "file-000.mp4", 96, 64);
    ASSERT_EQ(frames.size(), 9u) << camera;  // 5 + 4: the deleted episode's 7 are gone
    for (int index = 0; index < 9; ++index) {
      const int frame = index < 5 ? index : index - 5;  // the logged picture of that row
      const double right = test_support::patch_difference(frames[static_cast<size_t>(index)], test_support::picture(frame, c, 96, 64), 96);
      const double wrong = test_support::patch_difference(frames[static_cast<size_t>(index)], test_support::picture(frame + 3, c, 96, 64), 96);
      EXPECT_LT(right, 6.0) << camera << " at index " << index;
      EXPECT_LT(right * 2, wrong) << camera << " at index " << index;
    }
  }

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

// Episodes of other tasks and other files: deleting one leaves no task no
// episode uses and no file that holds nothing.
TEST_F(DatasetViewerApi, DeletingDropsUnusedTasksAndFilesLeftEmpty) {
  const test_support::StudioUrls urls{studio_->http_url(), studio_->flight_url()};
  for (const auto& [length, task] : {std::pair{3, "pick"}, std::pair{4, "fold"}, std::pair{5, "stack"}}) {
    test_support::record_episodes(urls, "op", {length}, task);  // one export each: files of their own
    post("/sessions/end", {{"userId", "op"}, {"repoId", "lab/tasks"}, {"fps", 15}});
    ASSERT_EQ(test_support::wait_for_export(urls.http, "lab/tasks")["state"], "done");
  }
  const fs::path set = dir_ / "data" / "datasets" / "lab%2Ftasks";
  ASSERT_TRUE(fs::exists(set / "data" / "chunk-000" / "file-001.parquet"));
  EXPECT_EQ(post("/datasets/episodes/delete", {{"repoId", "lab/tasks"}, {"episode", 1}})["frames"], 4);
  const Json d = test_support::read_dataset(set);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(studio::check_dataset(set), std::vector<std::string>{});
  EXPECT_EQ(d["tasks"], Json::array({"pick", "stack"}));
  EXPECT_EQ(d["info"]["total_tasks"], 2);
  EXPECT_EQ(d["frames"][3]["task"], "stack");
  for (const char* gone : {"data/chunk-000/file-001.parquet", "meta/episodes/chunk-000/file-001.parquet",
                           "videos/observation.images.cam_front/chunk-000/file-001.mp4"}) {
    EXPECT_FALSE(fs::exists(set / gone)) << gone;
  }
  // The studio's own note of the tasks follows.
  std::ifstream sidecar(set / "meta" / "tessaline.json");
  EXPECT_EQ(Json::parse(sidecar)["tasks"], Json::array({"pick", "stack"}));
}

// Labels set from the viewer's API and from the command line land on their
// episodes, follow them when an earlier one is deleted, survive an append,
// and leave the dataset reading clean; bad ones are refused.
TEST_F(DatasetViewerApi, LabelsStayWithTheirEpisodes) {
  httplib::Client client("127.0.0.1", studio_->http_port());
  const auto label = [&](const Json& body) { return client.Post("/datasets/episodes/label", body.dump(), "application/json"); };
  ASSERT_EQ(label({{"repoId", "lab/cups"}, {"episode", 0}, {"label", "success"}})->status, 200);
  const auto by_command = test_support::run_process({test_support::built_program("tessaline"), "dataset", "label",
                                                     dataset().string(), "failure", "--episode", "2", "--note", "dropped the cup"});
  ASSERT_EQ(by_command.exit_code, 0) << by_command.out << by_command.err;
  EXPECT_EQ(label({{"repoId", "lab/cups"}, {"episode", 1}, {"label", "maybe"}})->status, 400);
  EXPECT_EQ(label({{"repoId", "lab/cups"}, {"episode", 3}, {"label", "success"}})->status, 400);
  EXPECT_EQ(label({{"repoId", "lab/cups"}, {"episode", 1}, {"label", 7}})->status, 400);
  const auto labels = [&] {
    std::vector<std::string> out;
    const Json listed = Json::parse(get("/datasets/episodes?repoId=lab%2Fcups")->body);
    for (const auto& ep : listed["episodes"]) {
      out.push_back(ep.contains("label") ? ep["label"]["label"].get<std::string>() + ":" + ep["label"]["note"].get<std::string>() : "-");
    }
    return out;
  };
  EXPECT_EQ(labels(), (std::vector<std::string>{"success:", "-", "failure:dropped the cup"}));

  post("/datasets/episodes/delete", {{"repoId", "lab/cups"}, {"episode", 1}});
  EXPECT_EQ(labels(), (std::vector<std::string>{"success:", "failure:dropped the cup"}));
  const test_support::StudioUrls urls{studio_->http_url(), studio_->flight_url()};
  test_support::record_episodes(urls, "op", {3}, "stack the cups");
  post("/sessions/end", {{"userId", "op"}, {"repoId", "lab/cups"}, {"fps", 15}});
  ASSERT_EQ(test_support::wait_for_export(urls.http, "lab/cups")["state"], "done");
  EXPECT_EQ(labels(), (std::vector<std::string>{"success:", "failure:dropped the cup", "-"}));
  ASSERT_EQ(label({{"repoId", "lab/cups"}, {"episode", 0}, {"label", nullptr}})->status, 200);  // cleared
  EXPECT_EQ(labels(), (std::vector<std::string>{"-", "failure:dropped the cup", "-"}));
  EXPECT_EQ(studio::check_dataset(dataset()), std::vector<std::string>{});
}

// A folder of datasets other tools recorded — here in the layout the
// field's tools cache them in, with tables DuckDB wrote — is shown read-only.
TEST_F(DatasetViewerApi, DatasetsOfOtherToolsAreShownReadOnly) {
  const fs::path cache = dir_ / "cache";
  const fs::path theirs = cache / "someone" / "pick_place";
  fs::create_directories(theirs);
  fs::copy(dataset(), theirs, fs::copy_options::recursive);
  fs::remove(theirs / "meta" / "tessaline.json");  // not one of ours
  for (const auto& table : {theirs / "data" / "chunk-000" / "file-000.parquet", theirs / "meta" / "episodes" / "chunk-000" / "file-000.parquet"}) {
    const std::string sql = "COPY (SELECT * FROM read_parquet('" + table.string() + "')) TO '" + table.string() +
                            ".other' (FORMAT parquet, COMPRESSION gzip)";
    ASSERT_EQ(test_support::run_process({NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/duckdb_sql.mjs", sql}).exit_code, 0);
    fs::rename(table.string() + ".other", table);
  }
  EXPECT_EQ(studio::check_dataset(theirs), std::vector<std::string>{});  // tables another writer made read clean
  studio_.reset();
  auto options = studio::StudioOptions::on_loopback(dir_ / "data");
  options.other_datasets = {cache};
  studio_ = std::make_unique<studio::Studio>(options);

  const Json list = Json::parse(get("/datasets")->body)["datasets"];
  ASSERT_EQ(list.size(), 2u) << list;
  const auto it = std::find_if(list.begin(), list.end(), [](const Json& d) { return d["repoId"] == "someone/pick_place"; });
  ASSERT_NE(it, list.end()) << list;
  EXPECT_EQ((*it)["readOnly"], true);
  EXPECT_EQ((*it)["episodes"], 3);
  const Json episodes = Json::parse(get("/datasets/episodes?repoId=someone%2Fpick_place")->body);
  EXPECT_EQ(episodes["episodes"].size(), 3u);
  const Json series = Json::parse(get("/datasets/episode?repoId=someone%2Fpick_place&episode=1")->body);
  EXPECT_EQ(series["length"], 7);
  EXPECT_EQ(get("/datasets/video?repoId=someone%2Fpick_place&path=" + url_encoded("videos/observation.images.cam_front/chunk-000/file-000.mp4"))->status, 200);
  const std::string info_before = studio::read_file(theirs / "meta" / "info.json");
  httplib::Client client("127.0.0.1", studio_->http_port());
  EXPECT_EQ(client.Post("/datasets/episodes/delete", R"({"repoId": "someone/pick_place", "episode": 0})", "application/json")->status, 403);
  EXPECT_EQ(studio::read_file(theirs / "meta" / "info.json"), info_before);
  // A session exported to that id would make a dataset of ours that hides theirs: refused, saying why.
  const auto end = client.Post("/sessions/end", R"({"userId": "op", "repoId": "someone/pick_place"})", "application/json");
  ASSERT_TRUE(end);
  EXPECT_EQ(end->status, 403);
  EXPECT_NE(end->body.find("another tool recorded"), std::string::npos) << end->body;
  EXPECT_FALSE(fs::exists(dir_ / "data" / "datasets" / "someone%2Fpick_place"));
}

// Descriptions other tools write: a video feature without its "info" is
// listed (codec unknown); an older layout is listed with why it cannot be
// opened, and opening it says so instead of showing no episodes.
TEST_F(DatasetViewerApi, OtherLayoutsAreListedAndSayWhatTheyLack) {
  const fs::path cache = dir_ / "cache";
  const fs::path bare = cache / "someone" / "bare", older = cache / "someone" / "older";
  fs::create_directories(bare);
  fs::copy(dataset(), bare, fs::copy_options::recursive);
  fs::remove(bare / "meta" / "tessaline.json");
  Json info = Json::parse(studio::read_file(bare / "meta" / "info.json"));
  for (auto& [key, feature] : info["features"].items()) {
    if (feature.value("dtype", "") == "video") feature.erase("info");
  }
  std::ofstream(bare / "meta" / "info.json") << info.dump();
  EXPECT_EQ(studio::check_dataset(bare), std::vector<std::string>{});
  fs::create_directories(older / "meta");
  info["codebase_version"] = "v2.1";
  std::ofstream(older / "meta" / "info.json") << info.dump();
  std::ofstream(older / "meta" / "episodes.jsonl") << R"({"episode_index": 0, "tasks": ["pick"], "length": 5})" << "\n";
  studio_.reset();
  auto options = studio::StudioOptions::on_loopback(dir_ / "data");
  options.other_datasets = {cache};
  studio_ = std::make_unique<studio::Studio>(options);

  const Json list = Json::parse(get("/datasets")->body)["datasets"];
  std::map<std::string, Json> by_id;
  for (const auto& d : list) by_id[d["repoId"]] = d;
  ASSERT_TRUE(by_id.count("someone/bare") && by_id.count("someone/older")) << list;
  EXPECT_EQ(by_id["someone/bare"]["codec"], "");
  EXPECT_FALSE(by_id["someone/bare"].contains("unsupported"));
  EXPECT_EQ(Json::parse(get("/datasets/episodes?repoId=someone%2Fbare")->body)["episodes"].size(), 3u);
  EXPECT_EQ(by_id["someone/older"]["version"], "v2.1");
  EXPECT_NE(by_id["someone/older"].value("unsupported", "").find("v3.0"), std::string::npos);
  const auto opened = get("/datasets/episodes?repoId=someone%2Folder");
  EXPECT_EQ(opened->status, 422);
  EXPECT_NE(opened->body.find("v2.1 layout"), std::string::npos) << opened->body;
}

}  // namespace
