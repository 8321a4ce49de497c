#pragma once
// tessaline-studio: the signaling relay, the episode and export API, the
// sign-in page and the operator app on one HTTP port, and the Flight
// receiver on another. Starts serving in the constructor; stops (waiting
// for running exports) in the destructor.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace studio {

struct StudioOptions {
  std::string host = "127.0.0.1";
  int http_port = 8080;  // 0: any free port
  int flight_port = 50051;
  std::filesystem::path data_dir = "studio-data";
  std::string video_codec = "av1";  // of new datasets: "av1" or "h264"
  long data_file_mb = 100;          // of new datasets: where data and video files roll over
  long video_file_mb = 200;
  // Needed by callers from other computers (see AccessControl); a studio
  // listening beyond loopback refuses to start without one.
  std::string token;
  // Names this studio is reached by besides loopback names, IP addresses and
  // this computer's name (e.g. behind a reverse proxy); requests sent to any
  // other name are refused, so a page that rebinds its name here cannot use it.
  std::vector<std::string> allowed_hosts;
  // Folders of datasets other tools recorded, shown by the viewer read-only
  // (e.g. the one the field's tools cache datasets in).
  std::vector<std::filesystem::path> other_datasets;
  // "s3://BUCKET/PREFIX": exported datasets are also published there (the
  // S3 endpoint's URL in s3_endpoint, credentials from AWS_* variables).
  std::string store;
  std::string s3_endpoint;
  // "postgresql://...": signaling and browser sign-ins live in that
  // database, shared by every studio given the same one (robot and browser
  // may reach different ones).
  std::string database;
  // With both a store and a database, export jobs are the fleet's (see
  // ExportQueue): `exports` false leaves them to other studios
  // (--no-export); `export_only` serves no robots or browsers, it only
  // exports (--export-only); a job's lease runs `export_lease` unrenewed.
  bool exports = true;
  bool export_only = false;
  std::chrono::seconds export_lease{30};
  // Users who, signed in from another computer, may run the fleet page
  // (--admin); this computer's operator and the token holder always may.
  std::vector<std::string> admins;
  // Episodes encoded while they record (--encode live), or at export
  // (after). Unset: live for a studio that exports its own sessions, after
  // for a node of a fleet (its sessions are encoded where they are claimed).
  std::optional<bool> encode_live;

  // On loopback, free ports: what tests and programs that embed a studio use.
  static StudioOptions on_loopback(std::filesystem::path data_dir) {
    StudioOptions o;
    o.http_port = 0;
    o.flight_port = 0;
    o.data_dir = std::move(data_dir);
    return o;
  }
};

class Studio {
 public:
  explicit Studio(StudioOptions options);  // throws when a port cannot be bound
  ~Studio();
  Studio(const Studio&) = delete;
  Studio& operator=(const Studio&) = delete;

  int http_port() const;
  int flight_port() const;
  std::string http_url() const;     // "http://host:port"
  std::string flight_url() const;   // "grpc://host:port"
  const std::filesystem::path& data_dir() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace studio
