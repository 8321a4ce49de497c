// `tessaline dataset check` on an exported dataset and on copies broken
// the ways datasets break (a count that lies, stats off, a video short of
// frames or gone, a table missing, rows out of place): each fault is named
// with its file, and the command exits 1; a sound dataset reads clean.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "kit/http/client.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_check.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/server/studio_server.hpp"
#include "tests/support/logged_episodes.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = std::filesystem;
using kit::json::Json;

class DatasetCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dataset-check-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    studio_ = std::make_unique<studio::Studio>(studio::StudioOptions::on_loopback(dir_ / "data"));
  }
  void TearDown() override {
    studio_.reset();
    fs::remove_all(dir_);
  }
  fs::path export_dataset(const std::string& repo, const std::vector<int>& lengths, const std::string& task = "") {
    test_support::record_episodes({studio_->http_url(), studio_->flight_url()}, "op", lengths, task);
    kit::http::post_json(studio_->http_url() + "/sessions/end", {{"userId", "op"}, {"repoId", repo}, {"fps", 15}},
                         kit::http::Seconds(5));
    const Json state = test_support::wait_for_export(studio_->http_url(), repo);
    EXPECT_EQ(state["state"], "done") << state;
    return studio_->data_dir() / state["datasetDir"].get<std::string>();
  }
  // A copy of `dataset` to break, changed by `breaking`.
  fs::path broken(const fs::path& dataset, const std::string& name, const std::function<void(const fs::path&)>& breaking) {
    const fs::path copy = dir_ / "broken" / name;
    fs::create_directories(copy.parent_path());
    fs::copy(dataset, copy, fs::copy_options::recursive);
    breaking(copy);
    return copy;
  }
  fs::path dir_;
  std::unique_ptr<studio::Studio> studio_;
};

Json edited_json(const fs::path& file, const std::function<void(Json&)>& edit) {
  Json j = Json::parse(studio::read_file(file));
  edit(j);
  std::ofstream(file) << j.dump();
  return j;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST_F(DatasetCheck, ASoundDatasetReadsCleanAndEachFaultIsNamedWithItsFile) {
  const fs::path dataset = export_dataset("lab/sound", {12, 8}, "stack the cups");
  const fs::path short_one = export_dataset("lab/short", {5});
  ASSERT_EQ(studio::check_dataset(dataset), std::vector<std::string>{});
  const std::string front = "videos/observation.images.cam_front/chunk-000/file-000.mp4";

  const auto faults = [&](const std::string& name, const std::function<void(const fs::path&)>& breaking) {
    return joined(studio::check_dataset(broken(dataset, name, breaking)));
  };
  EXPECT_NE(faults("count", [](const fs::path& d) {
              edited_json(d / "meta/info.json", [](Json& j) { j["total_frames"] = 21; });
            }).find("meta/info.json: total_frames 21, the data has 20"),
            std::string::npos);
  EXPECT_NE(faults("stats", [](const fs::path& d) {
              edited_json(d / "meta/stats.json", [](Json& j) { j["action"]["mean"][2] = 99.0; });
            }).find("meta/stats.json: action[2] mean 99"),
            std::string::npos);
  EXPECT_NE(faults("no-stats", [](const fs::path& d) {
              edited_json(d / "meta/stats.json", [](Json& j) { j.erase("observation.state"); });
            }).find("meta/stats.json: no stats for observation.state"),
            std::string::npos);
  // Another dataset's video of 5 frames where 20 were.
  const std::string short_video = faults("short-video", [&](const fs::path& d) {
    fs::copy_file(short_one / front, d / front, fs::copy_options::overwrite_existing);
  });
  EXPECT_NE(short_video.find(front + " has no frame for 7 of its 12 frames"), std::string::npos) << short_video;
  EXPECT_NE(short_video.find(front + " has no frame for 8 of its 8 frames"), std::string::npos) << short_video;
  EXPECT_NE(faults("no-video", [&](const fs::path& d) { fs::remove(d / front); }).find("its video " + front + " is missing"),
            std::string::npos);
  EXPECT_NE(faults("no-tasks", [](const fs::path& d) { fs::remove(d / "meta/tasks.parquet"); }).find("meta/tasks.parquet: cannot be read"),
            std::string::npos);
  // The short dataset's data in place of this one's: rows, episodes and counts disagree.
  const std::string data = faults("other-data", [&](const fs::path& d) {
    fs::copy_file(short_one / "data/chunk-000/file-000.parquet", d / "data/chunk-000/file-000.parquet",
                  fs::copy_options::overwrite_existing);
  });
  EXPECT_NE(data.find("meta/info.json: total_frames 20, the data has 5"), std::string::npos) << data;
  EXPECT_NE(data.find("episode 0: length 12, rows [0, 12) of 5"), std::string::npos) << data;
  const std::string old = faults("v2.1", [](const fs::path& d) {
    edited_json(d / "meta/info.json", [](Json& j) { j["codebase_version"] = "v2.1"; });
  });
  EXPECT_NE(old.find("codebase_version v2.1; this checks the v3.0 layout"), std::string::npos) << old;
}

TEST_F(DatasetCheck, TheCommandSaysWhatItFoundAndExitsOneOnAFault) {
  const fs::path dataset = export_dataset("lab/cli", {6});
  const std::string tessaline = test_support::built_program("tessaline");
  const auto clean = test_support::run_process({tessaline, "dataset", "check", dataset.string()});
  EXPECT_EQ(clean.exit_code, 0) << clean.out << clean.err;
  EXPECT_NE(clean.out.find("reads clean"), std::string::npos) << clean.out;

  const auto info = test_support::run_process({tessaline, "dataset", "info", "--json", dataset.string()});
  ASSERT_EQ(info.exit_code, 0) << info.out << info.err;
  const Json described = Json::parse(info.out);
  EXPECT_EQ(described["episodes"], 1);
  EXPECT_EQ(described["frames"], 6);
  EXPECT_EQ(described["cameras"]["observation.images.cam_front"]["codec"], "av1");

  edited_json(dataset / "meta/info.json", [](Json& j) { j["total_episodes"] = 2; });
  const auto faulty = test_support::run_process({tessaline, "dataset", "check", dataset.string()});
  EXPECT_EQ(faulty.exit_code, 1);
  EXPECT_NE(faulty.out.find("meta/info.json: total_episodes 2, meta/episodes has 1"), std::string::npos) << faulty.out;

  const auto nowhere = test_support::run_process({tessaline, "dataset", "check", (dir_ / "nothing").string()});
  EXPECT_EQ(nowhere.exit_code, 1);
  EXPECT_NE(nowhere.err.find("no dataset at"), std::string::npos) << nowhere.err;
}

// Episodes deleted from the command line, with the dataset still checked
// clean afterwards; a change the studio has under way on the same folder
// is waited for, never interleaved with.
TEST_F(DatasetCheck, EpisodesAreDeletedFromTheCommandLineOneChangeAtATime) {
  const fs::path dataset = export_dataset("lab/trim", {4, 5, 6});
  const std::string tessaline = test_support::built_program("tessaline");
  const auto run = [&](const std::string& episodes, const std::string& named = "") {
    return test_support::run_process({tessaline, "dataset", "delete", named.empty() ? dataset.string() : named, "--episodes", episodes});
  };
  for (const auto& [episodes, why] : {std::pair{"0-2", "every episode"}, std::pair{"3", "not among the dataset's episodes 0-2"},
                                      std::pair{"1,x", "\"x\" is no episode index"}}) {
    const auto refused = run(episodes);
    EXPECT_EQ(refused.exit_code, 1) << episodes;
    EXPECT_NE(refused.err.find(why), std::string::npos) << refused.err;
  }
  EXPECT_EQ(Json::parse(studio::read_file(dataset / "meta/info.json"))["total_episodes"], 3);  // nothing changed

  std::optional<studio::DatasetsLock> studio_busy(std::in_place, dataset);
  std::thread done_soon([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    studio_busy.reset();
  });
  const auto deleted = run("0,2", dataset.string() + "/");  // named with a slash: the same folder's lock
  done_soon.join();
  ASSERT_EQ(deleted.exit_code, 0) << deleted.out << deleted.err;
  EXPECT_NE(deleted.out.find("Another program is changing a dataset"), std::string::npos) << deleted.out;
  EXPECT_NE(deleted.out.find("2 episode(s), 10 frames deleted; the dataset reads clean"), std::string::npos) << deleted.out;
  const Json d = test_support::read_dataset(dataset);  // and the independent reader agrees
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["info"]["total_episodes"], 1);
  EXPECT_EQ(d["episodes"][0]["length"], 5);
}

TEST_F(DatasetCheck, SomeEpisodesSplitIntoANewDatasetAndTheOldOneStaysAsItWas) {
  const fs::path dataset = export_dataset("lab/all", {4, 5, 6});
  const std::string tessaline = test_support::built_program("tessaline");
  ASSERT_EQ(test_support::run_process({tessaline, "dataset", "label", dataset.string(), "success", "--episode", "2"}).exit_code, 0);
  const fs::path val = dir_ / "val";
  const auto split = [&](const std::string& episodes, const fs::path& to) {
    return test_support::run_process({tessaline, "dataset", "split", dataset.string(), "--episodes", episodes, "--to", to.string(),
                                      "--repo-id", "lab/val"});
  };
  // Refused before anything is written: a folder that exists, episodes the dataset lacks.
  fs::create_directories(dir_ / "taken");
  EXPECT_NE(split("1", dir_ / "taken").err.find("exists already"), std::string::npos);
  EXPECT_NE(split("1-3", val).err.find("not among the dataset's episodes 0-2"), std::string::npos);
  EXPECT_NE(split("1", dataset / "val").err.find("is inside the dataset"), std::string::npos);  // would copy into itself
  EXPECT_FALSE(fs::exists(val));

  const auto done = split("1-2", val.string() + "/");  // a trailing slash names the same folder
  ASSERT_EQ(done.exit_code, 0) << done.out << done.err;
  EXPECT_NE(done.out.find("2 episode(s), 11 frames copied to"), std::string::npos) << done.out;
  const Json part = test_support::read_dataset(val);
  EXPECT_EQ(part["problems"], Json::array()) << part["problems"];
  ASSERT_EQ(part["episodes"].size(), 2u);
  EXPECT_EQ(part["episodes"][0]["length"], 5);
  EXPECT_EQ(part["episodes"][1]["length"], 6);
  const Json own = Json::parse(studio::read_file(val / "meta" / "tessaline.json"));
  EXPECT_EQ(own["repo_id"], "lab/val");
  EXPECT_FALSE(own.contains("jobs"));
  EXPECT_EQ(own["labels"]["1"]["label"], "success") << own;  // episode 2 is episode 1 there
  const Json whole = test_support::read_dataset(dataset);
  EXPECT_EQ(whole["problems"], Json::array());
  EXPECT_EQ(whole["info"]["total_episodes"], 3);
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
  }
}

// Datasets recorded in different sessions, with different tasks, merged:
// numbers move on, one task per text, labels follow, the video is copied
// (its bytes equal), and the result reads clean; datasets that cannot be
// one are refused before anything is written.
TEST_F(DatasetCheck, DatasetsMergeIntoANewOneThatReadsClean) {
  const fs::path a = export_dataset("lab/a", {4, 5}, "pick");
  test_support::record_episodes({studio_->http_url(), studio_->flight_url()}, "op", {3}, "place");
  const fs::path b = export_dataset("lab/b", {6}, "pick");
  const std::string tessaline = test_support::built_program("tessaline");
  ASSERT_EQ(test_support::run_process({tessaline, "dataset", "label", b.string(), "failure", "--episode", "1"}).exit_code, 0);
  const auto merge = [&](std::vector<std::string> sources, const fs::path& to) {
    std::vector<std::string> argv{tessaline, "dataset", "merge"};
    argv.insert(argv.end(), sources.begin(), sources.end());
    for (const std::string& arg : {std::string("--to"), to.string(), std::string("--repo-id"), std::string("lab/merged")}) argv.push_back(arg);
    return test_support::run_process(argv);
  };
  const fs::path other_rate = broken(b, "other-rate", [](const fs::path& d) {
    edited_json(d / "meta" / "info.json", [](Json& info) { info["fps"] = 30; });
  });
  const fs::path merged = dir_ / "merged";
  EXPECT_NE(merge({a.string(), other_rate.string()}, merged).err.find("recorded at 30 frames/s, not 15"), std::string::npos);
  EXPECT_NE(merge({a.string(), a.string() + "/"}, merged).err.find("is named twice"), std::string::npos);
  EXPECT_FALSE(fs::exists(merged));

  const auto done = merge({a.string(), b.string()}, merged);
  ASSERT_EQ(done.exit_code, 0) << done.out << done.err;
  EXPECT_NE(done.out.find("episodes 2-3 of the merge"), std::string::npos) << done.out;
  const Json d = test_support::read_dataset(merged);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  std::vector<long> lengths;
  for (const auto& ep : d["episodes"]) lengths.push_back(ep["length"]);
  EXPECT_EQ(lengths, (std::vector<long>{4, 5, 3, 6}));
  EXPECT_EQ(d["tasks"], Json::array({"pick", "place"}));
  EXPECT_EQ(d["episodes"][2]["tasks"], Json::array({"place"}));
  EXPECT_EQ(d["episodes"][3]["tasks"], Json::array({"pick"}));
  EXPECT_EQ(d["info"]["total_frames"], 18);
  const Json own = Json::parse(studio::read_file(merged / "meta" / "tessaline.json"));
  EXPECT_EQ(own["labels"]["3"]["label"], "failure") << own;
  EXPECT_EQ(own["repo_id"], "lab/merged");
  for (const auto& video : fs::recursive_directory_iterator(b / "videos")) {
    if (!video.is_regular_file()) continue;
    const fs::path rel = fs::relative(video.path(), b);  // chunk-000/file-000 there, file-001 here
    const fs::path there = merged / rel.parent_path() / "file-001.mp4";
    EXPECT_EQ(studio::read_file(there), studio::read_file(video.path())) << there;
  }
  EXPECT_EQ(studio::check_dataset(a), std::vector<std::string>{});
  EXPECT_EQ(Json::parse(studio::read_file(a / "meta" / "info.json"))["total_episodes"], 2);
}

TEST_F(DatasetCheck, ATaskIsRenamedEverywhereItIsNamedAndNowhereElse) {
  test_support::record_episodes({studio_->http_url(), studio_->flight_url()}, "op", {3}, "pick");
  test_support::record_episodes({studio_->http_url(), studio_->flight_url()}, "op", {4}, "place");
  const fs::path dataset = export_dataset("lab/tasks", {5}, "pick");
  const std::string tessaline = test_support::built_program("tessaline");
  const auto rename = [&](const std::string& from, const std::string& to) {
    return test_support::run_process({tessaline, "dataset", "rename-task", dataset.string(), "--from", from, "--to", to});
  };
  const std::string data_before = studio::read_file(dataset / "data/chunk-000/file-000.parquet");
  const auto renamed = rename("pick", "pick up the cube");
  ASSERT_EQ(renamed.exit_code, 0) << renamed.out << renamed.err;
  EXPECT_NE(renamed.out.find("(2 episode(s))"), std::string::npos) << renamed.out;
  const Json d = test_support::read_dataset(dataset);
  EXPECT_EQ(d["problems"], Json::array()) << d["problems"];
  EXPECT_EQ(d["tasks"], Json::array({"pick up the cube", "place"}));
  EXPECT_EQ(d["episodes"][2]["tasks"], Json::array({"pick up the cube"}));
  EXPECT_EQ(d["episodes"][1]["tasks"], Json::array({"place"}));
  EXPECT_EQ(d["frames"][0]["task"], "pick up the cube");
  EXPECT_EQ(studio::read_file(dataset / "data/chunk-000/file-000.parquet"), data_before);  // numbers, not texts, in the data
  EXPECT_EQ(Json::parse(studio::read_file(dataset / "meta/tessaline.json"))["tasks"], Json::array({"pick up the cube", "place"}));
  EXPECT_EQ(studio::check_dataset(dataset), std::vector<std::string>{});

  for (const auto& [from, to, why] : {std::tuple{"pick", "lift", "no task \"pick\""},
                                      std::tuple{"place", "pick up the cube", "already has a task \"pick up the cube\""}}) {
    const auto refused = rename(from, to);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find(why), std::string::npos) << refused.err;
  }
  EXPECT_EQ(test_support::read_dataset(dataset)["tasks"], Json::array({"pick up the cube", "place"}));
}

// A command killed while switching a change in (its list of files written,
// some moved) leaves the rest for the next change, which finishes it first
// rather than dropping what was not moved yet.
TEST_F(DatasetCheck, AChangeCutOffWhileSwitchingInIsFinishedByTheNextOne) {
  const fs::path dataset = export_dataset("lab/cut", {4, 3});
  Json info = Json::parse(studio::read_file(dataset / "meta/info.json"));
  info["cut_off"] = true;
  fs::create_directories(dataset / ".tessaline-export/meta");
  std::ofstream(dataset / ".tessaline-export/meta/info.json") << info.dump();
  std::ofstream(dataset / ".tessaline-export/COMMIT") << "meta/info.json\n";
  const auto run = test_support::run_process(
      {test_support::built_program("tessaline"), "dataset", "label", dataset.string(), "success", "--episode", "1"});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(Json::parse(studio::read_file(dataset / "meta/info.json"))["cut_off"], true);
  EXPECT_FALSE(fs::exists(dataset / ".tessaline-export"));
  EXPECT_EQ(Json::parse(studio::read_file(dataset / "meta/tessaline.json"))["labels"]["1"]["label"], "success");
}

}  // namespace
