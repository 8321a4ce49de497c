// Frames logged over Flight to a real studio become a dataset in the
// field's v3.0 layout, read back by independent readers (hyparquet, DuckDB,
// ffprobe; see tests/node/read_dataset.mjs): episodes, tasks, appending,
// what is refused at the door, and exports that fail leaving the dataset as
// it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "kit/files/atomic_file.hpp"
#include "kit/flight/flight.hpp"
#include "kit/flight/ipc.hpp"
#include "kit/http/client.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/server/studio_server.hpp"
#include "tessaline/grpc_client.hpp"
#include "tests/support/logged_episodes.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = std::filesystem;
namespace fl = kit::flight;
using kit::json::Json;

constexpr int kWidth = 96, kHeight = 64;

tessaline::NdArray picture(int frame, int camera) { return test_support::picture(frame, camera, kWidth, kHeight); }

class DatasetExport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dataset-test-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    start();
  }
  void TearDown() override {
    studio_.reset();
    fs::remove_all(dir_);
  }
  void start(const std::string& video_codec = "av1") {
    studio_.reset();  // one studio on the data directory at a time
    auto options = studio::StudioOptions::on_loopback(dir_ / "data");
    options.video_codec = video_codec;
    studio_ = std::make_unique<studio::Studio>(options);
  }
  Json post(const std::string& path, const Json& body) {
    return kit::http::post_json(studio_->http_url() + path, body, kit::http::Seconds(5)).json();
  }
  test_support::StudioUrls urls() const { return {studio_->http_url(), studio_->flight_url()}; }
  Json wait_for_export(const std::string& repo) { return test_support::wait_for_export(studio_->http_url(), repo); }
  void record(const std::string& user, const std::vector<int>& lengths, const std::string& task = "") {
    test_support::record_episodes(urls(), user, lengths, task, kWidth, kHeight);
  }
  Json read_dataset(const fs::path& dataset) { return test_support::read_dataset(dataset); }
  fs::path dir_;
  std::unique_ptr<studio::Studio> studio_;
};

// Every frame of a video next to the pictures that were logged: PSNR in dB.
double video_psnr(const fs::path& mp4, int camera, int first_frame, int frames) {
  const auto raw = test_support::run_process({"/usr/bin/ffmpeg", "-v", "error", "-i", mp4.string(), "-f", "rawvideo", "-pix_fmt",
                                              "rgb24", "-"});
  const size_t frame_bytes = kWidth * kHeight * 3;
  EXPECT_GE(raw.out.size(), frame_bytes * static_cast<size_t>(first_frame + frames));
  double squared = 0;
  for (int f = 0; f < frames; ++f) {
    const auto original = picture(f, camera);
    const auto* want = reinterpret_cast<const uint8_t*>(original.data());
    const auto* got = reinterpret_cast<const uint8_t*>(raw.out.data()) + frame_bytes * static_cast<size_t>(first_frame + f);
    for (size_t i = 0; i < frame_bytes; ++i) squared += (double(want[i]) - got[i]) * (double(want[i]) - got[i]);
  }
  const double mse = squared / (double(frame_bytes) * frames);
  return 10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9));
}

TEST_F(DatasetExport, EpisodesBecomeADatasetTheFieldsReadersAccept) {
  record("op", {12});
  tessaline::VelquinGrpcClient retried(studio_->flight_url().substr(7), "op");
  auto r = std::make_shared<tessaline::Record>();
  r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, std::vector<float>(6, 9.f)));
  retried.log_robot_data(r, tessaline::Value(tessaline::List(6, 9.0)), false, 15.0, std::string("so101_follower"));
  retried.wait_pending();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(retried.reset_episode(studio_->http_url()));  // a retried attempt leaves nothing behind
  testing::internal::GetCapturedStdout();
  record("op", {8}, "pick up the cube");

  const Json started = post("/sessions/end", {{"userId", "op"}, {"repoId", "lab/cubes"}, {"robotType", "so101_follower"}, {"fps", 15}});
  EXPECT_EQ(started["episodes"], 2);
  const Json state = wait_for_export("lab/cubes");
  ASSERT_EQ(state["state"], "done") << state;
  EXPECT_EQ(state["datasetDir"], "datasets/lab%2Fcubes");  // no absolute path of the studio's computer
  const fs::path dataset = studio_->data_dir() / state["datasetDir"].get<std::string>();
  const Json d = read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["robot_type"], "so101_follower");
  EXPECT_EQ(d["info"]["fps"], 15);
  EXPECT_EQ(d["info"]["total_episodes"], 2);
  EXPECT_EQ(d["info"]["total_frames"], 20);
  EXPECT_EQ(d["info"]["features"]["action"]["names"][0], "shoulder_pan.pos");
  EXPECT_EQ(d["info"]["features"]["observation.state"]["names"][5], "gripper.pos");
  EXPECT_EQ(d["info"]["features"]["observation.images.cam_wrist"]["shape"], Json::array({kHeight, kWidth, 3}));
  EXPECT_EQ(d["codec"], "av1");
  EXPECT_EQ(d["tasks"], Json::array({"teleoperated demonstration", "pick up the cube"}));
  EXPECT_EQ(d["episodes"][0]["length"], 12);
  EXPECT_EQ(d["episodes"][1]["tasks"], Json::array({"pick up the cube"}));
  const Json& frame = d["frames"][12 + 3];  // episode 1, frame 3
  EXPECT_EQ(frame["episode_index"], 1);
  EXPECT_EQ(frame["frame_index"], 3);
  EXPECT_EQ(frame["state"], Json::array({3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(frame["action"][0], 1.5);
  EXPECT_EQ(frame["task"], "pick up the cube");

  const auto front = dataset / "videos" / "observation.images.cam_front" / "chunk-000" / "file-000.mp4";
  const double psnr = video_psnr(front, 0, 12, 8);
  std::printf("decoded video against the logged pictures: PSNR %.1f dB\n", psnr);
  EXPECT_GT(psnr, 30.0);
  // Staging is empty again: a second export has nothing to do.
  EXPECT_EQ(post("/sessions/end", {{"userId", "op"}, {"repoId", "lab/cubes"}})["status"], "nothing to export");
}

TEST_F(DatasetExport, ASecondSessionAppendsInNewFiles) {
  record("op", {5, 6});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const fs::path dataset = dir_ / "data" / "datasets" / "arm";
  const auto first_data = kit::http::get(studio_->http_url() + "/velquin", kit::http::Seconds(5));  // still serving
  const auto before = fs::last_write_time(dataset / "data" / "chunk-000" / "file-000.parquet");
  record("op", {4}, "fold the towel");
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  EXPECT_EQ(fs::last_write_time(dataset / "data" / "chunk-000" / "file-000.parquet"), before);  // not rewritten
  EXPECT_TRUE(fs::exists(dataset / "data" / "chunk-000" / "file-001.parquet"));
  EXPECT_TRUE(fs::exists(dataset / "videos" / "observation.images.cam_wrist" / "chunk-000" / "file-001.mp4"));
  const Json d = read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 3);
  EXPECT_EQ(d["info"]["total_frames"], 15);
  EXPECT_EQ(d["frames"][11]["episode_index"], 2);
  EXPECT_EQ(d["tasks"].size(), 2u);
  std::ifstream stats_file(dataset / "meta" / "stats.json");
  EXPECT_EQ(Json::parse(stats_file)["action"]["count"], Json::array({15}));
}

TEST_F(DatasetExport, AStudioSetToH264WritesH264AndADatasetKeepsItsCodec) {
  start("h264");
  record("op", {4});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  start("av1");
  record("op", {3});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const Json d = read_dataset(dir_ / "data" / "datasets" / "arm");
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];  // every file's codec is the one info.json names
  EXPECT_EQ(d["codec"], "h264");
  EXPECT_EQ(d["videoFrames"].size(), 4u);  // two files per camera
}

// Every file of a dataset, and its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dataset) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dataset)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dataset).string()] = studio::read_file(e.path());
  }
  return files;
}

TEST_F(DatasetExport, ASessionThatDiffersFromTheDatasetIsRefusedBeforeEncodingAndKept) {
  record("op", {5});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const fs::path dataset = dir_ / "data" / "datasets" / "arm";
  const auto before = snapshot(dataset);
  struct Case {
    const char* what;
    test_support::FrameShape shape;
    std::string difference;
  };
  const Case cases[] = {
      {"a camera fewer", {96, 64, 1, 6}, "the dataset has the camera observation.images.cam_wrist, this session does not"},
      {"a camera more", {96, 64, 3, 6}, "this session has the camera observation.images.cam_side, the dataset does not"},
      {"another size", {128, 96, 2, 6}, "the camera observation.images.cam_front is 96x64 in the dataset, 128x96 in this session"},
      {"another joint count", {96, 64, 2, 7}, "observation.state has 6 values in the dataset, 7 in this session"},
  };
  int n = 0;
  for (const Case& c : cases) {
    test_support::record_episodes(urls(), "op", {4, 3}, "", c.shape);
    post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
    const Json failed = wait_for_export("arm");
    ASSERT_EQ(failed["state"], "failed") << c.what << ": " << failed;
    const std::string error = failed["error"];
    EXPECT_NE(error.find(c.difference), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(snapshot(dataset), before) << c.what;  // not a byte changed, nothing written aside left behind
    // The episodes are kept: they go into a repository of their own.
    const std::string other = "arm-" + std::to_string(++n);
    EXPECT_EQ(post("/sessions/export/retry", {{"userId", "op"}, {"repoId", other}})["episodes"], 2) << c.what;
    ASSERT_EQ(wait_for_export(other)["state"], "done") << c.what;
    const Json d = read_dataset(dir_ / "data" / "datasets" / other);
    EXPECT_EQ(d["problems"], Json::array()) << c.what << ": " << d["problems"];
    EXPECT_EQ(d["info"]["total_episodes"], 2);
  }
}

TEST_F(DatasetExport, CamerasOfOddOrTinySizesAreEncodedAtTheNearestSizeTheEncoderTakes) {
  for (const auto& [width, height, want_w, want_h] : {std::tuple{321, 241, 320, 240}, std::tuple{64, 48, 86, 64}}) {
    const std::string repo = "odd-" + std::to_string(width);
    test_support::record_episodes(urls(), "op", {4}, "", test_support::FrameShape{width, height, 2, 6});
    post("/sessions/end", {{"userId", "op"}, {"repoId", repo}, {"fps", 15}});
    const Json state = wait_for_export(repo);
    ASSERT_EQ(state["state"], "done") << state;
    const Json d = read_dataset(dir_ / "data" / "datasets" / repo);
    EXPECT_EQ(d["problems"], Json::array()) << d["problems"];  // every video the size features.shape says
    EXPECT_EQ(d["info"]["features"]["observation.images.cam_front"]["shape"], Json::array({want_h, want_w, 3}));
  }
  // 320x241 encodes to 320x240 as 321x241 does, but its pictures are not
  // the dataset's: the append is refused by the size as captured.
  test_support::record_episodes(urls(), "op", {3}, "", test_support::FrameShape{320, 241, 2, 6});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "odd-321"}, {"fps", 15}});
  const Json refused = wait_for_export("odd-321");
  EXPECT_EQ(refused["state"], "failed");
  EXPECT_NE(refused.value("error", "").find("captured at 321x241 for the dataset, at 320x241 in this session"), std::string::npos) << refused;
  EXPECT_EQ(read_dataset(dir_ / "data" / "datasets" / "odd-321")["info"]["total_episodes"], 1);
}

TEST_F(DatasetExport, TasksAreNumberedAsTasksParquetNumbersThem) {
  record("op", {3}, "pick up the cube");
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  // The field's own recorder added a task (and its tasks.parquet is written
  // by pyarrow's kind of writer: nullable columns, dictionary pages, zstd).
  const fs::path tasks = dir_ / "data" / "datasets" / "arm" / "meta" / "tasks.parquet";
  const std::string copy = "COPY (SELECT * FROM (VALUES (0::BIGINT, 'pick up the cube'), (1::BIGINT, 'fold the shirt')) t(task_index, task)) TO '" +
                           tasks.string() + "' (FORMAT parquet, COMPRESSION zstd)";
  ASSERT_EQ(test_support::run_process({NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/duckdb_sql.mjs", copy}).exit_code, 0);
  record("op", {2}, "stack the cups");
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const Json d = read_dataset(dir_ / "data" / "datasets" / "arm");
  EXPECT_EQ(d["tasks"], Json::array({"pick up the cube", "fold the shirt", "stack the cups"}));  // none renumbered, none lost
  EXPECT_EQ(d["frames"][3]["task"], "stack the cups");
  EXPECT_EQ(d["info"]["total_tasks"], 3);
}

TEST_F(DatasetExport, MalformedFramesAreRefusedAtTheDoor) {
  auto flight = fl::FlightClient::Connect(fl::Location::Parse(studio_->flight_url()));
  auto put = [&](std::vector<std::pair<std::string, fl::ArrayPtr>> cols) {
    auto batch = fl::RecordBatch::FromNamedArrays(std::move(cols));
    auto p = flight->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema());
    p.writer->WriteRecordBatch(*batch);
    p.writer->Close();
  };
  const auto user = [](std::string id) { return std::pair{std::string("user_id"), fl::MakeStringArray({std::move(id)})}; };
  const auto state = std::pair{std::string("state"), fl::MakeFloat64ListArray({std::vector<double>{1, 2}})};
  const std::vector<std::pair<std::string, std::vector<std::pair<std::string, fl::ArrayPtr>>>> bad = {
      {"state as a number", {user("op"), {"state", fl::MakeFloat64Array({1.0})}}},
      {"robot_type as a number", {user("op"), state, {"robot_type", fl::MakeFloat64Array({5.0})}}},
      {"episode_end as text", {user("op"), state, {"episode_end", fl::MakeStringArray({"yes"})}}},
      {"user_id not UTF-8", {user("\xff\xfe"), state}},
      {"an image as text", {user("op"), state, {"observation.images.cam", fl::MakeStringArray({"jpeg"})}}},
  };
  for (const auto& [what, cols] : bad) {
    try {
      put(cols);
      ADD_FAILURE() << what << " was accepted";
    } catch (const fl::FlightError& e) {
      EXPECT_NE(std::string(e.what()).find("column"), std::string::npos) << what << ": " << e.what();
    }
  }
  size_t staged = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "data" / "staging")) staged += e.is_regular_file();
  EXPECT_EQ(staged, 0u);
  put({user("op"), state});  // a sound frame still goes in
  EXPECT_EQ(post("/sessions/episodes/reset", {{"userId", "op"}})["framesCleared"], 1);
}

TEST_F(DatasetExport, AFailedExportLeavesTheDatasetAsItWasAndCanBeRetried) {
  record("op", {4});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const fs::path dataset = dir_ / "data" / "datasets" / "arm";
  std::ifstream info_file(dataset / "meta" / "info.json");
  const std::string info_before(std::istreambuf_iterator<char>(info_file), {});

  // Two more episodes, the second with a frame whose types are wrong,
  // staged behind the door's back (as by an older studio).
  record("op", {3, 3});
  const fs::path episode = dir_ / "data" / "staging" / "op" / "ended" / "000001";
  auto bad = fl::RecordBatch::FromNamedArrays({{"user_id", fl::MakeStringArray({"op"})},
                                               {"state", fl::MakeStringArray({"not numbers"})}});
  kit::files::write_atomically(episode / "frame_999999999999.arrows", fl::ipc::WriteStream(bad->schema(), {bad}));
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  const Json failed = wait_for_export("arm");
  ASSERT_EQ(failed["state"], "failed") << failed;
  EXPECT_NE(failed["error"].get<std::string>().find("\"state\" must be a list of numbers"), std::string::npos) << failed;
  std::ifstream after_file(dataset / "meta" / "info.json");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after_file), {}), info_before);
  EXPECT_FALSE(fs::exists(dataset / "data" / "chunk-000" / "file-001.parquet"));
  EXPECT_FALSE(fs::exists(dataset / ".tessaline-export"));
  EXPECT_EQ(read_dataset(dataset)["problems"], Json::array());

  // The studio still serves; the job waits; once the bad frame is gone a retry succeeds.
  const fs::path jobs = dir_ / "data" / "export-jobs";
  ASSERT_FALSE(fs::is_empty(jobs));
  for (const auto& f : fs::recursive_directory_iterator(jobs)) {
    if (f.path().filename() == "frame_999999999999.arrows") fs::remove(f.path());
  }
  EXPECT_EQ(post("/sessions/export/retry", {{"userId", "op"}, {"repoId", "arm"}})["episodes"], 2);
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const Json d = read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 3);
  EXPECT_TRUE(fs::is_empty(jobs));
}

TEST_F(DatasetExport, AnExportKilledWhileSwitchingInIsFinishedAtTheNextStart) {
  record("op", {3});
  post("/sessions/end", {{"userId", "op"}, {"repoId", "arm"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("arm")["state"], "done");
  const fs::path dataset = dir_ / "data" / "datasets" / "arm";
  studio_.reset();
  // As if killed: one export half-written (no commit list), and a file of
  // an interrupted write in staging.
  fs::create_directories(dataset / ".tessaline-export" / "data" / "chunk-000");
  std::ofstream(dataset / ".tessaline-export" / "data" / "chunk-000" / "file-001.parquet") << "half";
  fs::create_directories(dir_ / "data" / "staging" / "op" / "current");
  std::ofstream(dir_ / "data" / "staging" / "op" / "current" / "frame_1.arrows.tmp") << "half";
  start();
  EXPECT_FALSE(fs::exists(dataset / ".tessaline-export"));
  EXPECT_FALSE(fs::exists(dir_ / "data" / "staging" / "op" / "current" / "frame_1.arrows.tmp"));
  EXPECT_EQ(read_dataset(dataset)["problems"], Json::array());
}

TEST_F(DatasetExport, AnEpisodeThatNeverEndedIsKeptApartNotExported) {
  const auto run = test_support::run_process({test_support::built_program("log_frames"), "--location",
                                              studio_->flight_url(), "--frames", "4", "--cameras", "2", "--width",
                                              "64", "--height", "64", "--user-id", "example"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  // Still open (the example was not given --http); the next session's offer sets it aside.
  post("/webrtc/offer", {{"userId", "example"}, {"sdp", "v=0"}});
  EXPECT_EQ(post("/sessions/end", {{"userId", "example"}, {"repoId", "examples"}})["status"], "nothing to export");
  ASSERT_TRUE(fs::exists(dir_ / "data" / "interrupted"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "data" / "interrupted"), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(dir_ / "data" / "datasets" / "examples"));
}

}  // namespace

namespace {

TEST_F(DatasetExport, AnEpisodeIsOneStreamAndAFrameTornByACrashIsLeftOut) {
  auto log = [&](int from, int to, bool end) {
    tessaline::VelquinGrpcClient client(studio_->flight_url().substr(7), "op");
    testing::internal::CaptureStdout();
    for (int i = from; i < to; ++i) {
      auto r = std::make_shared<tessaline::Record>();
      r->set("observation.images.cam_front", picture(i, 0));
      r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, std::vector<float>(6, float(i))));
      client.log_robot_data(r, tessaline::Value(tessaline::List(6, double(i))), end && i + 1 == to, 15.0,
                            std::string("so101_follower"));
      client.wait_pending();  // in order: the test counts frames by position
    }
    testing::internal::GetCapturedStdout();
  };
  const fs::path current = dir_ / "data" / "staging" / "op" / "current";
  log(0, 3, false);
  std::vector<fs::path> files;
  for (const auto& f : fs::directory_iterator(current)) files.push_back(f.path());
  ASSERT_EQ(files.size(), 1u) << "three frames, one stream";

  // The studio dies while writing a fourth frame: half of it reaches the file.
  auto torn = fl::RecordBatch::FromNamedArrays({{"user_id", fl::MakeStringArray({"op"})},
                                                {"state", fl::MakeFloat64ListArray({std::vector<double>(6, 99)})}});
  const std::string message = fl::ipc::FramedBatch(*torn);
  studio_.reset();
  std::ofstream(files[0], std::ios::app | std::ios::binary) << message.substr(0, message.size() / 2);
  start();
  EXPECT_EQ(kit::http::get(studio_->http_url() + "/velquin", kit::http::Seconds(5)).status, 200);
  log(3, 5, true);  // the session goes on after the restart
  EXPECT_EQ(post("/sessions/episodes/end", {{"userId", "op"}})["episodeIndex"], 0);
  post("/sessions/end", {{"userId", "op"}, {"repoId", "torn"}, {"fps", 15}});
  ASSERT_EQ(wait_for_export("torn")["state"], "done");
  const Json d = read_dataset(dir_ / "data" / "datasets" / "torn");
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  ASSERT_EQ(d["info"]["total_frames"], 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(d["frames"][i]["state"][0], i);
}

}  // namespace
