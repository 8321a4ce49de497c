// A dataset's files roll over at its size limits, as the field's writers
// do: no episode spans two files, each camera keeps its own numbering, and
// the readers in tests/node/read_dataset.mjs find every episode's rows and
// video frames in the files its metadata names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "kit/flight/array.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/live/frame_store.hpp"
#include "tests/support/logged_episodes.hpp"

namespace {

namespace fs = std::filesystem;
namespace fl = kit::flight;
using kit::json::Json;

TEST(DatasetFiles, SlotsCountFilesThenChunks) {
  EXPECT_EQ(studio::FileSlot({0, 998}).next().file, 999);
  const auto after = studio::FileSlot{0, 999}.next();
  EXPECT_EQ(after.chunk, 1);
  EXPECT_EQ(after.file, 0);
  EXPECT_EQ((studio::FileSlot{12, 7}.path("videos/observation.images.front", ".mp4")),
            "videos/observation.images.front/chunk-012/file-007.mp4");

  const fs::path dir = fs::temp_directory_path() / ("slots-" + std::to_string(getpid()));
  fs::remove_all(dir);
  EXPECT_EQ(studio::first_free_slot(dir).file, 0);
  for (const char* f : {"chunk-000/file-999.parquet", "chunk-001/file-004.parquet", "chunk-001/file-002.parquet"}) {
    fs::create_directories((dir / f).parent_path());
    std::ofstream(dir / f) << "x";
  }
  const auto next = studio::first_free_slot(dir);
  EXPECT_EQ(next.chunk, 1);
  EXPECT_EQ(next.file, 5);
  fs::remove_all(dir);
}

// A change cut short while switching in (here a file that cannot take its
// place, as a crash would leave it) is finished at the next start, and the
// folder it consumed (an export's job) goes with it: its episodes must not
// be exported a second time by a retry.
TEST(DatasetChangeTest, AChangeCutShortWhileSwitchingInIsFinishedWithTheFoldersItConsumed) {
  const fs::path data = fs::temp_directory_path() / ("change-" + std::to_string(getpid()));
  const fs::path dataset = data / "datasets" / "arm", job = data / "export-jobs" / "op" / "1";
  fs::remove_all(data);
  fs::create_directories(dataset / "meta");
  fs::create_directories(job);
  std::ofstream(dataset / "meta" / "info.json") << "old";
  std::ofstream(job / "frames.arrows") << "episodes";
  const fs::path obstacle = dataset / "data" / "chunk-000" / "file-001.parquet";
  fs::create_directories(obstacle);
  std::ofstream(obstacle / "x") << "x";
  {
    studio::DatasetChange change(dataset);
    change.write("data/chunk-000/file-001.parquet", "rows");
    change.write("meta/info.json", "new");
    change.consume(job);
    EXPECT_THROW(change.commit(), fs::filesystem_error);
  }
  EXPECT_EQ(studio::read_file(dataset / "meta" / "info.json"), "old");
  EXPECT_TRUE(fs::exists(job));

  fs::remove_all(obstacle);
  studio::recover_dataset_changes(data);
  EXPECT_EQ(studio::read_file(dataset / "data" / "chunk-000" / "file-001.parquet"), "rows");
  EXPECT_EQ(studio::read_file(dataset / "meta" / "info.json"), "new");
  EXPECT_FALSE(fs::exists(job));
  EXPECT_FALSE(fs::exists(dataset / ".tessaline-export"));
  fs::remove_all(data);
}

class DatasetRollOver : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rollover-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Stages episodes as Flight puts would: joint values, and per frame a
  // picture of noise (which no encoder can make small) when `camera`.
  void stage(studio::FrameStore& store, const std::vector<int>& lengths, bool camera) {
    uint32_t seed = 12345;
    std::vector<uint8_t> rgb(kWidth * kHeight * 3);
    for (const int length : lengths) {
      for (int i = 0; i < length; ++i) {
        // Joint values that do not compress, like a real arm's.
        std::vector<double> state(6), action(6);
        for (auto* v : {&state, &action}) {
          for (auto& x : *v) x = static_cast<int>((seed = seed * 1664525u + 1013904223u) >> 8) / 65536.0;
        }
        std::vector<std::pair<std::string, fl::ArrayPtr>> columns = {
            {"user_id", fl::MakeStringArray({"op"})},
            {"state", fl::MakeFloat64ListArray({state})},
            {"action", fl::MakeFloat64ListArray({action})},
            {"timestamp", fl::MakeFloat64Array({i / 30.0})},
            {"fps", fl::MakeFloat64Array({30.0})},
            {"robot_type", fl::MakeStringArray({"so101_follower"})}};
        if (camera) {
          for (auto& b : rgb) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
          columns.push_back({"observation.images.front", fl::MakeBinaryArray({kit::jpeg::encode_rgb(rgb.data(), kWidth, kHeight)})});
        }
        store.add_batch(fl::RecordBatch::FromNamedArrays(columns));
      }
      store.end_episode("op");
    }
  }

  static studio::ExportRequest request_to(const std::string& repo) {
    studio::ExportRequest request;
    request.user_id = "op";
    request.repo_id = repo;
    return request;
  }

  Json export_all(studio::FrameStore& store, const studio::ExportRequest& request) {
    const auto job = store.take_for_export("op");
    EXPECT_TRUE(job.has_value());
    studio::export_dataset(*job, dir_, request);
    const Json d = test_support::read_dataset(studio::dataset_dir(dir_, request.repo_id));
    EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
    return d;
  }

  static constexpr int kWidth = 160, kHeight = 120;
  fs::path dir_;
};

std::set<std::string> files_of(const Json& dataset, size_t which) {
  std::set<std::string> files;
  for (const auto& ep : dataset["episodes"]) files.insert(ep["files"][which].get<std::string>());
  return files;
}

TEST_F(DatasetRollOver, DataFilesRollOverBetweenEpisodes) {
  studio::FrameStore store(dir_);
  // About 70 bytes a row: four episodes of 5000 rows take two files of 1 MiB.
  stage(store, {5000, 5000, 5000, 5000}, false);
  auto request = request_to("rows");
  request.data_file_mb = 1;
  const Json d = export_all(store, request);
  EXPECT_EQ(d["info"]["data_files_size_in_mb"], 1);
  ASSERT_EQ(d["episodes"].size(), 4u);
  EXPECT_EQ(d["episodes"][0]["files"][0], "data/chunk-000/file-000.parquet");
  const auto files = files_of(d, 0);
  EXPECT_GE(files.size(), 2u) << d["episodes"];
  for (const auto& f : files) EXPECT_LE(fs::file_size(dir_ / "datasets" / "rows" / f), 1u << 20) << f;
}

TEST_F(DatasetRollOver, VideoFilesRollOverAndAnAppendKeepsTheDatasetsLimit) {
  studio::FrameStore store(dir_);
  stage(store, {45, 45, 45, 45}, true);
  auto request = request_to("noise");
  request.video_file_mb = 1;
  const Json first = export_all(store, request);
  const auto videos = files_of(first, 1);
  EXPECT_GE(videos.size(), 2u) << first["episodes"];
  EXPECT_EQ(files_of(first, 0).size(), 1u);  // the rows are small: one data file
  for (const auto& v : videos) {
    // A file is closed once the next episode would pass the limit; only its first episode may take it past.
    EXPECT_LT(fs::file_size(dir_ / "datasets" / "noise" / v), 2u << 20) << v;
  }

  // A second session, exported with a studio set to other limits: the dataset keeps its own.
  stage(store, {45, 45, 45, 45}, true);
  request.video_file_mb = 200;
  const Json second = export_all(store, request);
  EXPECT_EQ(second["info"]["video_files_size_in_mb"], 1);
  EXPECT_GE(files_of(second, 1).size(), videos.size() + 2) << second["episodes"];
}

// A robot sends a frame again when the answer to its put was lost: the
// open episode takes each frame id once, also across a restart of the studio.
TEST(FrameStoreIds, AFrameSentAgainIsStagedOnce) {
  const fs::path dir = fs::temp_directory_path() / ("frame-ids-" + std::to_string(getpid()));
  fs::remove_all(dir);
  const auto frame = [](const std::string& id) {
    return fl::RecordBatch::FromNamedArrays({{"user_id", fl::MakeStringArray({"op"})},
                                             {"state", fl::MakeFloat64ListArray({std::vector<double>{1.0}})},
                                             {"frame_id", fl::MakeStringArray({id})}});
  };
  {
    studio::FrameStore store(dir);
    EXPECT_TRUE(store.add_batch(frame("robot:0")));
    EXPECT_TRUE(store.add_batch(frame("robot:1")));
    EXPECT_FALSE(store.add_batch(frame("robot:1")));
  }
  studio::FrameStore restarted(dir);
  EXPECT_FALSE(restarted.add_batch(frame("robot:0")));
  EXPECT_TRUE(restarted.add_batch(frame("robot:2")));
  EXPECT_EQ(restarted.staged_frames("op"), 3u);
  restarted.end_episode("op");
  EXPECT_TRUE(restarted.add_batch(frame("robot:0")));  // another episode: its own frames
  fs::remove_all(dir);
}

}  // namespace
