#pragma once
// What operators are told about exports: per repository, its owner and the
// state of its latest export (running with progress, done with figures, or
// failed with the reason and how to retry). An export job's request and,
// when it fails, the reason are also written into the job's directory, so
// a restarted studio still reports every kept job and why it is waiting.
// Paths in what is reported are relative to the studio's data directory.
// Thread-safe.
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "kit/json/text.hpp"
#include "studio/datasets/exporter.hpp"

namespace studio {

// What failed exports tell the operator to do.
extern const char* const kExportRetryHint;

// An export request as a job keeps it (DATA/export-jobs/<job>/request.json,
// a shared job's row): who, where, and the settings of a new dataset.
kit::json::Json request_to_json(const ExportRequest& request);
ExportRequest request_from_json(const kit::json::Json& json);  // throws for one without userId / repoId
// The request kept in a job directory, if it can be read.
std::optional<ExportRequest> kept_request(const std::filesystem::path& job_dir);

class ExportBoard {
 public:
  explicit ExportBoard(std::filesystem::path data_dir);

  // At start-up: every job still in DATA/export-jobs is reported as failed,
  // with its recorded reason (or that the studio stopped during it).
  void load_kept_jobs();

  // Written beside the job's episodes when it is taken for export.
  void remember_request(const ExportJob& job, const ExportRequest& request) const;
  void remember_failure(const ExportJob& job, const std::string& reason) const;

  // A new export of the request's repository: state "running", and an
  // "export" number above every earlier one (also those of earlier runs of
  // the studio), so a page can tell this export's result from the last one's.
  void begin(const ExportRequest& request);
  // The export's later states; they keep its number.
  void set(const ExportRequest& request, kit::json::Json state);
  // The latest state of `repo_id`'s export if `user_id` owns it; "unknown" otherwise.
  kit::json::Json get(const std::string& repo_id, const std::string& user_id) const;

 private:
  struct Entry {
    std::string owner;
    kit::json::Json state;
    long long number = 0;
  };
  std::filesystem::path data_dir_;
  mutable std::mutex mutex_;  // guards entries_ and last_number_
  long long last_number_;     // from the clock at start, so numbers grow across restarts
  std::map<std::string, Entry> entries_;  // by repository id
};

}  // namespace studio
