// Episodes encoded while they record: the dataset an export makes from
// them is the one an export encoding everything afterwards makes (tables
// byte for byte, videos frame for frame), each episode starts on a key
// frame, and whatever the live encoder could not use — frames far out of
// order, a retried episode, no memory to spare — is encoded at export.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kit/flight/array.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/episode_video.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/datasets/live_encoder.hpp"
#include "studio/live/frame_store.hpp"
#include "tests/support/logged_episodes.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = std::filesystem;
namespace fl = kit::flight;

constexpr int kWidth = 96, kHeight = 64;

std::shared_ptr<fl::RecordBatch> frame(int episode, int i) {
  std::vector<std::pair<std::string, fl::ArrayPtr>> columns = {
      {"user_id", fl::MakeStringArray({"op"})},
      {"state", fl::MakeFloat64ListArray({std::vector<double>(6, i * 0.5 + episode)})},
      {"action", fl::MakeFloat64ListArray({std::vector<double>(6, i * 0.25)})},
      {"timestamp", fl::MakeFloat64Array({1000.0 * episode + i / 30.0})},
      {"fps", fl::MakeFloat64Array({30.0})},
      {"robot_type", fl::MakeStringArray({"so101_follower"})}};
  for (int camera = 0; camera < 2; ++camera) {
    const auto img = test_support::picture(i + 11 * episode, camera, kWidth, kHeight);
    const std::string jpeg = kit::jpeg::encode_rgb(reinterpret_cast<const uint8_t*>(img.data()), kWidth, kHeight);
    columns.push_back({camera ? "observation.images.wrist" : "observation.images.front", fl::MakeBinaryArray({jpeg})});
  }
  return fl::RecordBatch::FromNamedArrays(columns);
}

// The order frames of a `length`-frame episode arrive in: pairs swapped
// as the robot's workers swap them, and one frame `late` places late.
std::vector<int> arrival(int length, int late = 0) {
  std::vector<int> order(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) order[static_cast<size_t>(i)] = i;
  for (int i = 1; i + 1 < length; i += 5) std::swap(order[static_cast<size_t>(i)], order[static_cast<size_t>(i + 1)]);
  if (late) std::rotate(order.begin() + 3, order.begin() + 4, order.begin() + 4 + late);
  return order;
}

struct Episode {
  int length;
  int late = 0;
  int retried_after = 0;  // frames staged, then the episode retried, before it is recorded
};

void stage(studio::FrameStore& store, const std::vector<Episode>& episodes, size_t first = 0) {
  for (size_t e = first; e < episodes.size(); ++e) {
    if (episodes[e].retried_after) {
      for (int i = 0; i < episodes[e].retried_after; ++i) store.add_batch(frame(99, i));
      store.reset_episode("op");
    }
    for (const int i : arrival(episodes[e].length, episodes[e].late)) store.add_batch(frame(static_cast<int>(e), i));
    store.end_episode("op");
  }
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<fs::path> files_of(const fs::path& dataset) {
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(dataset)) {
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), dataset));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Packet by packet (frame by frame: no frame is reordered), whether it is a key frame.
std::vector<bool> key_frames(const fs::path& mp4) {
  const auto run = test_support::run_process({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                              "packet=flags", "-of", "csv=p=0", mp4.string()});
  std::vector<bool> keys;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) keys.push_back(line[0] == 'K');
  }
  return keys;
}

class LiveEncoding : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("live-encoding-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The episodes staged and exported by a studio with (or without) a live encoder.
  studio::ExportResult record(const std::string& name, const std::vector<Episode>& episodes, bool live,
                              size_t memory_limit = size_t{96} << 20, studio::LiveEncoder::Counts* counts = nullptr,
                              size_t max_episodes = 3) {
    const fs::path data = dir_ / name;
    studio::FrameStore store(data);
    studio::LiveEncoder encoder({data, "av1", memory_limit, 90, max_episodes});
    if (live) store.listen(encoder);
    stage(store, episodes);
    studio::ExportRequest request;
    request.user_id = "op";
    request.repo_id = "lab/cups";
    if (live) request.await_live_video = [&](const std::string& key) { encoder.await(key); };
    const auto job = store.take_for_export("op");
    EXPECT_TRUE(job);
    const auto result = studio::export_dataset(*job, data, request);
    if (counts) *counts = encoder.counts();
    EXPECT_TRUE(!fs::exists(data / "encoded") || fs::is_empty(data / "encoded")) << "encoded videos left after the export";
    return result;
  }

  // Two exports of the same frames hold the same dataset.
  void expect_same_dataset(const fs::path& a, const fs::path& b, const std::vector<int>& lengths) {
    const auto files = files_of(a);
    ASSERT_EQ(files, files_of(b));
    for (const auto& f : files) {
      if (f.extension() != ".mp4") {
        EXPECT_EQ(read(a / f), read(b / f)) << f << " differs";
        continue;
      }
      EXPECT_EQ(test_support::decoded_frames(a / f, kWidth, kHeight), test_support::decoded_frames(b / f, kWidth, kHeight))
          << f << " decodes to other pictures";
      const auto keys = key_frames(a / f);
      size_t from = 0;
      for (const int length : lengths) {
        ASSERT_LT(from, keys.size());
        EXPECT_TRUE(keys[from]) << f << ": the episode starting at frame " << from << " does not start on a key frame";
        from += static_cast<size_t>(length);
      }
      EXPECT_EQ(from, keys.size());
    }
  }

  fs::path dataset(const std::string& name) const { return studio::dataset_dir(dir_ / name, "lab/cups"); }
  fs::path dir_;
};

// A tiny camera's encoding made before such pictures were scaled up (its
// record names no video size, its video is 64x64) is not taken for one
// made now: the episode is encoded again at the size the dataset says.
TEST(EncodedEpisodeVideo, AnEncodingOfAnotherVideoSizeIsNotUsed) {
  const fs::path dir = fs::temp_directory_path() / ("encoded-size-" + std::to_string(getpid()));
  std::vector<uint8_t> rgb(64 * 48 * 3, 90);
  const std::string jpeg = kit::jpeg::encode_rgb(rgb.data(), 64, 48);
  const studio::EpisodeVideoSettings settings{"h264", 15, 1};
  {
    studio::EpisodeVideoWriter writer(dir, "front", settings);
    for (int i = 0; i < 3; ++i) writer.add(jpeg, i / 15.0);
    writer.finish();
  }
  const studio::EncodingWanted wanted{"h264", {64, 48}, 15, 3, studio::frame_order({0, 1 / 15.0, 2 / 15.0})};
  EXPECT_TRUE(studio::find_encoded(dir, "front", wanted));
  const fs::path record = dir / "front.json";
  auto older = kit::json::Json::parse(studio::read_file(record));
  older.erase("video_width");
  older.erase("video_height");
  std::ofstream(record) << older.dump();
  EXPECT_FALSE(studio::find_encoded(dir, "front", wanted));
  fs::remove_all(dir);
}

TEST_F(LiveEncoding, ALiveExportIsTheAfterExportFrameForFrameAndStartsEachEpisodeOnAKeyFrame) {
  const std::vector<Episode> episodes = {{37}, {64}, {21}};
  const auto live = record("live", episodes, true);
  const auto after = record("after", episodes, false);
  EXPECT_EQ(live.episodes_encoded_before, 3);
  EXPECT_EQ(after.episodes_encoded_before, 0);
  EXPECT_EQ(live.frames_added, 122);
  expect_same_dataset(dataset("live"), dataset("after"), {37, 64, 21});
  const auto read = test_support::read_dataset(dataset("live"));  // the field's readers take it
  EXPECT_EQ(read["info"]["total_frames"], 122);
}

TEST_F(LiveEncoding, WhatTheLiveEncoderCannotUseIsEncodedAtExport) {
  // Episode 0 has a frame far later than the capture-order window; episode
  // 1 is retried once before it is recorded; episode 2 goes as planned.
  const std::vector<Episode> episodes = {{150, 120}, {40, 0, 25}, {30}};
  studio::LiveEncoder::Counts counts;
  const auto live = record("live", episodes, true, size_t{96} << 20, &counts);
  EXPECT_EQ(counts.given_up, 1);
  EXPECT_EQ(counts.finished, 2);
  EXPECT_EQ(live.episodes_encoded_before, 2);
  // With no memory for waiting pictures, nothing is encoded live (the retried attempt included).
  const auto starved = record("starved", episodes, true, 1, &counts);
  EXPECT_EQ(counts.given_up, 4);
  EXPECT_EQ(starved.episodes_encoded_before, 0);
  // With no room for another episode's encoders, likewise.
  const auto busy = record("busy", episodes, true, size_t{96} << 20, &counts, 0);
  EXPECT_EQ(counts.given_up, 4);
  EXPECT_EQ(busy.episodes_encoded_before, 0);
  record("after", episodes, false);
  expect_same_dataset(dataset("live"), dataset("after"), {150, 40, 30});
  expect_same_dataset(dataset("starved"), dataset("after"), {150, 40, 30});
  expect_same_dataset(dataset("busy"), dataset("after"), {150, 40, 30});
}

// The studio dies while an episode's video is being written, and leaves a
// half-written video of no episode behind: after the restart the export
// uses what was finished, encodes the rest from the staged pictures and
// sweeps away what belongs to no episode.
TEST_F(LiveEncoding, AStudioStoppedMidEncodingLosesNoFrame) {
  const std::vector<Episode> episodes = {{30}, {45}};
  const fs::path data = dir_ / "live";
  {
    studio::FrameStore store(data);
    studio::LiveEncoder encoder({data, "av1"});
    store.listen(encoder);
    stage(store, {episodes[0]});
    encoder.await(studio::episode_key(data / "staging" / "op" / "ended" / "000000"));
    stage(store, episodes, 1);
    encoder.await(studio::episode_key(data / "staging" / "op" / "ended" / "000001"));
  }
  // The second episode's front camera as a crash mid-encoding leaves it: half a file, no record.
  const fs::path second = studio::encoded_dir(data, studio::episode_key(data / "staging" / "op" / "ended" / "000001"));
  fs::resize_file(second / "observation.images.front.mp4", fs::file_size(second / "observation.images.front.mp4") / 2);
  fs::remove(second / "observation.images.front.json");
  const fs::path stray = data / "encoded" / "frames_of_no_episode.arrows";
  fs::create_directories(stray);
  std::ofstream(stray / "observation.images.front.mp4") << "half a video";
  studio::recover_exports(data);
  EXPECT_FALSE(fs::exists(stray));
  studio::FrameStore store(data);
  const auto job = store.take_for_export("op");
  ASSERT_TRUE(job);
  studio::ExportRequest request;
  request.user_id = "op";
  request.repo_id = "lab/cups";
  const auto live = studio::export_dataset(*job, data, request);
  EXPECT_EQ(live.episodes_encoded_before, 1);
  EXPECT_EQ(live.frames_added, 75);
  record("after", episodes, false);
  expect_same_dataset(dataset("live"), dataset("after"), {30, 45});
}

}  // namespace
