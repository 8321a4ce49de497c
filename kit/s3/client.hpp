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
  // A conditional write found the object other than the writer expected.
  bool precondition_failed() const { return status_ == 412; }

 private:
  long status_;
  std::string code_;
};

struct ObjectInfo {
  std::string key;
  uint64_t size = 0;
  std::string etag;
};

// A write that lands only if the object is as its writer last saw it
// (If-Match on its ETag), or is not there at all (If-None-Match: *).
// Stores honour these on single-request writes only, not on copies,
// multipart completions or removals.
struct Precondition {
  std::string etag;
  bool absent = false;
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
  // A copy made by one server-side part copy, so its ETag has the
  // multipart form "...-1" whatever the source's: the same bytes under an
  // ETag a conditional writer that saw the source does not expect.
  // Returns that ETag.
  std::string copy_as_part(const std::string& bucket, const std::string& from_key, const std::string& to_key);
  // `file` in one request (as big as the store takes one, 5 GiB on most),
  // streamed from the disk, written only if `condition` holds; a store
  // that finds it does not answers 412 (Error::precondition_failed()).
  std::string put_file_if(const std::string& bucket, const std::string& key, const std::filesystem::path& file,
                          const Precondition& condition);
  std::string put_if(const std::string& bucket, const std::string& key, std::string_view body,
                     const Precondition& condition, const std::string& content_type = "application/octet-stream");

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
