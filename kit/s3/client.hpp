#pragma once
// An S3 client over libcurl, which signs each request (AWS Signature V4)
// itself. Path-style addresses (http://host:port/bucket/key), so it works
// with any S3-compatible store: a Ceph gateway, MinIO, AWS. One Client per
// thread (it owns one curl handle and its kept-alive connection).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kit::s3 {

// Where the store is and who we are to it.
struct Endpoint {
  std::string url;  // "http://127.0.0.1:7480"
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key;
  // `url` with the credentials and region from AWS_ACCESS_KEY_ID,
  // AWS_SECRET_ACCESS_KEY and AWS_REGION (or AWS_DEFAULT_REGION).
  // Throws std::invalid_argument when a key is missing.
  static Endpoint from_environment(std::string url);
};

// A request the store refused or could not be reached for.
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, long status, std::string code)
      : std::runtime_error(what), status_(status), code_(std::move(code)) {}
  long status() const { return status_; }         // HTTP status; 0 when nothing answered
  const std::string& code() const { return code_; }  // the store's error code ("NoSuchKey", ...)
  // Worth asking again: no answer, a timeout, or the store's 5xx / slow-down.
  bool transient() const { return status_ == 0 || status_ >= 500 || code_ == "SlowDown"; }

 private:
  long status_;
  std::string code_;
};

struct ObjectInfo {
  std::string key;
  uint64_t size = 0;
  std::string etag;
};

// Bytes [first, last] of an object, both included.
struct Range {
  uint64_t first = 0;
  uint64_t last = 0;
};

class Client {
 public:
  explicit Client(Endpoint endpoint);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const Endpoint& endpoint() const { return endpoint_; }

  // Creates the bucket; one that exists already and is ours is fine.
  void create_bucket(const std::string& bucket);

  // Both writes return the ETag the store gave the object.
  std::string put(const std::string& bucket, const std::string& key, std::string_view body,
           const std::string& content_type = "application/octet-stream");
  std::string get(const std::string& bucket, const std::string& key, std::optional<Range> range = std::nullopt);
  // Nothing when there is no such object.
  std::optional<ObjectInfo> head(const std::string& bucket, const std::string& key);
  // Every object under `prefix`, in key order (asked for in pages of `page_size`).
  std::vector<ObjectInfo> list(const std::string& bucket, const std::string& prefix, size_t page_size = 1000);
  // Removing what is not there is not an error (as S3 itself has it).
  void remove(const std::string& bucket, const std::string& key);
  void copy(const std::string& bucket, const std::string& from_key, const std::string& to_key);

  // A file as one object: in parts of `part_size` bytes (multipart upload)
  // when it is bigger than one part, else in one request. An upload that
  // fails is aborted, so no parts stay behind. Minimum part size: 5 MiB.
  std::string upload_file(const std::string& bucket, const std::string& key, const std::filesystem::path& file,
                   uint64_t part_size = 16u << 20);

 private:
  struct Answer {
    long status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased
    std::string header(std::string_view name) const;
  };
  struct Request;
  Answer send(const Request& request);
  Answer send_checked(const Request& request, const std::string& what);
  std::string address(const std::string& bucket, const std::string& key, const std::string& query = "") const;

  Endpoint endpoint_;
  void* curl_;  // CURL*
};

// `text` with every byte but A-Z a-z 0-9 - _ . ~ as %XX (and '/' too unless keep_slash).
std::string uri_encode(std::string_view text, bool keep_slash);

}  // namespace kit::s3
