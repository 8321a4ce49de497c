// Datasets shared by studios through one bucket (a real Ceph gateway the
// suite started): a publication cut off half-way — the gateway refusing a
// write by bucket policy, as a dying studio would stop — is undone or
// completed by the next studio that takes the dataset, and work a studio
// never published is moved aside, never dropped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "studio/datasets/dataset_change.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "tests/support/s3_cluster.hpp"

namespace {

namespace fs = std::filesystem;
using studio::DatasetPublisher;
using studio::StoreAddress;

using test_support::aws;

kit::s3::Endpoint endpoint() { return test_support::s3_endpoint(); }

void deny(const std::string& bucket, const std::string& action, const std::string& key) {
  const std::string policy = R"({"Version":"2012-10-17","Statement":[{"Effect":"Deny","Principal":"*","Action":")" +
                             action + R"(","Resource":"arn:aws:s3:::)" + bucket + "/" + key + R"("}]})";
  const auto r = aws({"s3api", "put-bucket-policy", "--bucket", bucket, "--policy", policy});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

void allow_all(const std::string& bucket) {
  const auto r = aws({"s3api", "delete-bucket-policy", "--bucket", bucket});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// The dataset's files and their contents, the studio's own bookkeeping left out.
std::map<std::string, std::string> files_of(const fs::path& dataset) {
  std::map<std::string, std::string> out;
  if (!fs::exists(dataset)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dataset)) {
    const std::string rel = e.path().lexically_relative(dataset).generic_string();
    if (e.is_regular_file() && rel.find(".tessaline") == std::string::npos) out[rel] = studio::read_file(e.path());
  }
  return out;
}

const studio::HoldCheck kHeld = [] {};

const std::map<std::string, std::string> kFirst = {
    {"data/chunk-000/file-000.parquet", "rows 0-9"}, {"meta/stats.json", "stats of 10"}, {"meta/info.json", "10 frames"}};

TEST(SharedPublication, AHalfDonePublicationIsUndoneOrCompletedAndUnpublishedWorkKept) {
  const auto root = fs::temp_directory_path() / ("shared-publication-" + std::to_string(getpid()));
  const std::string bucket = "tests-shared-" + std::to_string(std::random_device{}() % 1000000);
  const StoreAddress store{bucket, "datasets"};
  DatasetPublisher publisher(store, endpoint(), [](std::function<void()> task) { task(); });
  kit::s3::Client s3(endpoint());

  const fs::path a = root / "a" / "lab" / "set";
  for (const auto& [rel, text] : kFirst) write(a / rel, text);
  publisher.publish_now("lab/set", a, kHeld);

  // An append whose info.json the gateway refuses: the new data and
  // statistics went in, the description did not.
  write(a / "data/chunk-000/file-001.parquet", "rows 10-19");
  write(a / "meta/stats.json", "stats of 20");
  write(a / "meta/info.json", "20 frames");
  deny(bucket, "s3:PutObject", "datasets/lab/set/meta/info.json");
  EXPECT_THROW(publisher.publish_now("lab/set", a, kHeld), std::exception);
  allow_all(bucket);
  EXPECT_EQ(s3.get(bucket, "datasets/lab/set/meta/stats.json"), "stats of 20");  // half-way indeed

  // The next studio to take the dataset finds it as it was before the append.
  const fs::path b = root / "b" / "lab" / "set";
  publisher.pull("lab/set", b, root / "b-aside");
  EXPECT_EQ(files_of(b), kFirst);
  EXPECT_EQ(s3.get(bucket, "datasets/lab/set/meta/stats.json"), "stats of 10");
  EXPECT_FALSE(s3.head(bucket, "datasets/lab/set/data/chunk-000/file-001.parquet"));
  EXPECT_TRUE(s3.list(bucket, "datasets/.tessaline/").empty());

  // The studio that made the append keeps it, out of the way.
  publisher.pull("lab/set", a, root / "a-aside");
  EXPECT_EQ(files_of(a), kFirst);
  ASSERT_EQ(std::distance(fs::directory_iterator(root / "a-aside"), fs::directory_iterator()), 1);
  EXPECT_EQ(files_of(fs::directory_iterator(root / "a-aside")->path())["meta/info.json"], "20 frames");
  // Another such change: only the newest copy of this dataset stays, and another dataset's copy beside it.
  write(root / "a-aside" / "set-2-17" / "meta/info.json", "another dataset's");
  write(a / "meta/info.json", "30 frames");
  publisher.pull("lab/set", a, root / "a-aside");
  ASSERT_EQ(std::distance(fs::directory_iterator(root / "a-aside"), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::exists(root / "a-aside" / "set-2-17"));
  for (const auto& kept : fs::directory_iterator(root / "a-aside")) {
    if (kept.path().filename() != "set-2-17") {
      EXPECT_EQ(files_of(kept.path())["meta/info.json"], "30 frames");
    }
  }

  // A change whose info.json went in but whose removals were refused is
  // completed: the file it dropped goes from the bucket too.
  fs::remove(b / "data/chunk-000/file-000.parquet");
  write(b / "data/chunk-000/file-002.parquet", "rows 0-4");
  write(b / "meta/info.json", "5 frames");
  deny(bucket, "s3:DeleteObject", "datasets/lab/set/data/chunk-000/file-000.parquet");
  EXPECT_THROW(publisher.publish_now("lab/set", b, kHeld), std::exception);
  allow_all(bucket);
  const fs::path c = root / "c" / "lab" / "set";
  publisher.pull("lab/set", c, root / "c-aside");
  const std::map<std::string, std::string> third = {
      {"data/chunk-000/file-002.parquet", "rows 0-4"}, {"meta/stats.json", "stats of 10"}, {"meta/info.json", "5 frames"}};
  EXPECT_EQ(files_of(c), third);
  EXPECT_FALSE(s3.head(bucket, "datasets/lab/set/data/chunk-000/file-000.parquet"));

  // Pulling what is already here fetches nothing again and changes nothing.
  const auto before = fs::last_write_time(c / "meta/info.json");
  publisher.pull("lab/set", c, root / "c-aside");
  EXPECT_EQ(fs::last_write_time(c / "meta/info.json"), before);
  EXPECT_FALSE(fs::exists(root / "c-aside"));
  fs::remove_all(root);
}

// A studio whose check that it still holds the dataset passed, and which
// then froze before its next write while another studio took the dataset
// over (settled the half publication) and published its own change: when
// it wakes, the store refuses whatever it writes, at every point of its
// publication, and readers find the other studio's dataset, whole.
TEST(SharedPublication, AStudioThatWakesAfterLosingTheDatasetChangesNothing) {
  const auto root = fs::temp_directory_path() / ("stale-publication-" + std::to_string(getpid()));
  const std::string bucket = "tests-stale-" + std::to_string(std::random_device{}() % 1000000);
  const StoreAddress store{bucket, "datasets"};
  auto inline_task = [](std::function<void()> task) { task(); };
  DatasetPublisher stale(store, endpoint(), inline_task), other(store, endpoint(), inline_task);
  kit::s3::Client s3(endpoint());
  // Their change leaves the data file as it was, so only the store's
  // refusal keeps the frozen studio's rows out of it.
  const std::map<std::string, std::string> theirs = {
      {"data/chunk-000/file-000.parquet", "rows 0-9"}, {"meta/stats.json", "their stats"}, {"meta/info.json", "their info"}};

  // Checks before the journal, each of the three objects, and the journal's end.
  for (int freeze_at = 1; freeze_at <= 5; ++freeze_at) {
    const std::string repo = "lab/stale-" + std::to_string(freeze_at);
    const fs::path mine = root / "mine" / repo;
    for (const auto& [rel, text] : kFirst) write(mine / rel, text);
    stale.publish_now(repo, mine, kHeld);
    write(mine / "data/chunk-000/file-000.parquet", "rows 0-19");
    write(mine / "meta/stats.json", "stats of 20");
    write(mine / "meta/info.json", "20 frames");

    int checks = 0;
    auto taken_over_meanwhile = [&] {
      if (++checks != freeze_at) return;
      const fs::path theirs_dir = root / "theirs" / repo;
      other.pull(repo, theirs_dir, root / "theirs-aside");
      for (const auto& [rel, text] : theirs) write(theirs_dir / rel, text);
      other.publish_now(repo, theirs_dir, kHeld);
    };
    EXPECT_THROW(stale.publish_now(repo, mine, taken_over_meanwhile), studio::DatasetLost) << "frozen at check " << freeze_at;

    const fs::path reader = root / "reader" / repo;
    other.pull(repo, reader, root / "reader-aside");
    EXPECT_EQ(files_of(reader), theirs) << "frozen at check " << freeze_at;
    EXPECT_EQ(s3.list(bucket, "datasets/" + repo + "/").size(), theirs.size());
    EXPECT_TRUE(s3.list(bucket, "datasets/.tessaline/").empty()) << "frozen at check " << freeze_at;
  }
  fs::remove_all(root);
}

}  // namespace
