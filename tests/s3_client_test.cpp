// The S3 client against a real Ceph gateway started for the suite
// (tests/storage/ceph_cluster.sh; CTest passes its s3.env as
// TESSALINE_S3_ENV), with awscli as the independent reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "kit/s3/client.hpp"
#include "tests/support/s3_cluster.hpp"

namespace {

using kit::s3::Client;
using kit::s3::Endpoint;
using test_support::aws;

Endpoint endpoint() { return test_support::s3_endpoint(); }

std::string bucket_name(const std::string& what) {
  return "tests-" + what + "-" + std::to_string(std::random_device{}() % 1000000);
}

TEST(S3Client, ObjectsWithAnyKeyRoundTripAndListInPages) {
  Client s3(endpoint());
  const auto bucket = bucket_name("objects");
  s3.create_bucket(bucket);
  s3.create_bucket(bucket);  // ours already: fine

  const std::vector<std::string> keys = {"data/chunk-000/file-000.parquet", "data/a b+c=d&e.json", "data/ünïcödé/ü.txt",
                                         "data/tilde~and%percent", "meta/info.json"};
  for (const auto& key : keys) s3.put(bucket, key, "body of " + key, "application/json");
  for (const auto& key : keys) EXPECT_EQ(s3.get(bucket, key), "body of " + key) << key;

  const auto listed = s3.list(bucket, "data/", 2);  // three pages
  ASSERT_EQ(listed.size(), 4u);
  std::vector<std::string> listed_keys;
  for (const auto& object : listed) listed_keys.push_back(object.key);
  EXPECT_EQ(listed_keys, (std::vector<std::string>{"data/a b+c=d&e.json", "data/chunk-000/file-000.parquet",
                                                   "data/tilde~and%percent", "data/ünïcödé/ü.txt"}));
  EXPECT_EQ(listed[0].size, std::string("body of data/a b+c=d&e.json").size());

  // Byte ranges, as a video player asks for them.
  EXPECT_EQ(s3.get(bucket, "meta/info.json", kit::s3::Range{8, 11}), "meta");
  const auto info = s3.head(bucket, "meta/info.json");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size, std::string("body of meta/info.json").size());
  EXPECT_FALSE(s3.head(bucket, "meta/none.json"));

  s3.copy(bucket, "meta/info.json", "meta/info copy.json");
  EXPECT_EQ(s3.get(bucket, "meta/info copy.json"), "body of meta/info.json");
  s3.remove(bucket, "meta/info.json");
  s3.remove(bucket, "meta/info.json");  // gone already: fine
  EXPECT_FALSE(s3.head(bucket, "meta/info.json"));

  // Another client sees the same keys.
  const auto other = aws({"s3", "ls", "--recursive", "s3://" + bucket + "/data/"});
  ASSERT_EQ(other.exit_code, 0) << other.err;
  EXPECT_NE(other.out.find("data/ünïcödé/ü.txt"), std::string::npos) << other.out;
  EXPECT_NE(other.out.find("data/a b+c=d&e.json"), std::string::npos) << other.out;
}

TEST(S3Client, BigFilesGoUpInPartsAndReadBackWhole) {
  Client s3(endpoint());
  const auto bucket = bucket_name("parts");
  s3.create_bucket(bucket);
  const auto dir = std::filesystem::temp_directory_path() / ("s3-parts-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string bytes(12u << 20, '\0');
  std::mt19937 random(7);
  for (auto& b : bytes) b = static_cast<char>(random());
  {
    std::ofstream(dir / "video.mp4", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string etag = s3.upload_file(bucket, "videos/cam/file-000.mp4", dir / "video.mp4", 5u << 20);  // 3 parts

  const auto info = s3.head(bucket, "videos/cam/file-000.mp4");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->etag, etag);
  EXPECT_EQ(info->size, bytes.size());
  EXPECT_NE(info->etag.find("-3"), std::string::npos) << "a multipart object's etag ends in its part count: " << info->etag;
  EXPECT_TRUE(s3.get(bucket, "videos/cam/file-000.mp4") == bytes);
  EXPECT_TRUE(s3.get(bucket, "videos/cam/file-000.mp4", kit::s3::Range{(5u << 20) - 3, (5u << 20) + 2}) ==
              bytes.substr((5u << 20) - 3, 6));

  const auto copy = aws({"s3", "cp", "s3://" + bucket + "/videos/cam/file-000.mp4", (dir / "back.mp4").string()});
  ASSERT_EQ(copy.exit_code, 0) << copy.err;
  std::ifstream back(dir / "back.mp4", std::ios::binary);
  const std::string read_back((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(read_back == bytes);

  // A small file is one request.
  { std::ofstream(dir / "small.json") << "{}"; }
  EXPECT_EQ(s3.upload_file(bucket, "meta/small.json", dir / "small.json", 5u << 20), "99914b932bd37a50b983c5e7c90ae93b");
  EXPECT_EQ(s3.get(bucket, "meta/small.json"), "{}");

  // An upload that fails leaves no parts behind.
  EXPECT_THROW(s3.upload_file(bucket_name("missing"), "x.mp4", dir / "video.mp4", 5u << 20), kit::s3::Error);
  std::filesystem::remove_all(dir);
}

// What fences a writer that lost its claim: the store itself refuses a
// write whose expectation no longer holds, and a copy in parts gives the
// same bytes an ETag no earlier writer saw.
TEST(S3Client, ConditionalWritesLandOnlyOnWhatTheWriterSaw) {
  Client s3(endpoint());
  const auto bucket = bucket_name("conditional");
  s3.create_bucket(bucket);
  const std::string first = s3.put_if(bucket, "x", "one", {.etag = "", .absent = true});
  EXPECT_THROW(s3.put_if(bucket, "x", "two", {.etag = "", .absent = true}), kit::s3::Error);
  try {
    s3.put_if(bucket, "x", "two", {.etag = "0123456789abcdef0123456789abcdef", .absent = false});
    FAIL() << "a write over an object the writer never saw";
  } catch (const kit::s3::Error& e) {
    EXPECT_TRUE(e.precondition_failed()) << e.what();
    EXPECT_FALSE(e.transient());
  }
  EXPECT_EQ(s3.get(bucket, "x"), "one");
  EXPECT_THROW(s3.put_if(bucket, "never-there", "z", {.etag = first, .absent = false}), kit::s3::Error);
  EXPECT_FALSE(s3.head(bucket, "never-there"));

  // A file streamed in one request, over exactly what it replaces.
  const auto file = std::filesystem::temp_directory_path() / (bucket + ".bin");
  std::string bytes(7u << 20, '\0');
  std::mt19937 random(7);
  for (auto& c : bytes) c = static_cast<char>(random());
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::string second = s3.put_file_if(bucket, "x", file, {.etag = first, .absent = false});
  EXPECT_EQ(s3.get(bucket, "x"), bytes);
  EXPECT_EQ(second.find('-'), std::string::npos);  // one request, not parts
  EXPECT_THROW(s3.put_file_if(bucket, "x", file, {.etag = first, .absent = false}), kit::s3::Error);

  // Same bytes, another ETag.
  const std::string as_part = s3.copy_as_part(bucket, "x", "y");
  EXPECT_EQ(s3.get(bucket, "y"), bytes);
  EXPECT_TRUE(as_part.ends_with("-1")) << as_part;
  EXPECT_THROW(s3.put_if(bucket, "y", "w", {.etag = second, .absent = false}), kit::s3::Error);
  EXPECT_NO_THROW(s3.put_if(bucket, "y", "w", {.etag = as_part, .absent = false}));
  std::filesystem::remove(file);
}

TEST(S3Client, RefusalsAndAbsenceAreErrorsThatSayWhich) {
  Client s3(endpoint());
  const auto bucket = bucket_name("errors");
  s3.create_bucket(bucket);
  try {
    s3.get(bucket, "no/such/key");
    FAIL() << "read of a missing key";
  } catch (const kit::s3::Error& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_EQ(e.code(), "NoSuchKey");
    EXPECT_FALSE(e.transient());
    EXPECT_NE(std::string(e.what()).find(bucket + "/no/such/key"), std::string::npos) << e.what();
  }

  auto wrong = endpoint();
  wrong.secret_key = "not-the-secret";
  Client impostor(wrong);
  try {
    impostor.put(bucket, "x", "y");
    FAIL() << "a write with the wrong secret";
  } catch (const kit::s3::Error& e) {
    EXPECT_EQ(e.status(), 403);
    EXPECT_EQ(e.code(), "SignatureDoesNotMatch");
    EXPECT_FALSE(e.transient());
  }
  EXPECT_FALSE(s3.head(bucket, "x"));

  auto away = endpoint();
  away.url = "http://127.0.0.1:1";
  try {
    Client(away).put(bucket, "x", "y");
    FAIL() << "a write to nothing";
  } catch (const kit::s3::Error& e) {
    EXPECT_EQ(e.status(), 0);
    EXPECT_TRUE(e.transient());
  }

  setenv("AWS_ACCESS_KEY_ID", "", 1);
  EXPECT_THROW(Endpoint::from_environment("http://127.0.0.1:1"), std::invalid_argument);
}

}  // namespace
