#pragma once
// Turns an export job (staged episodes of one user) into a dataset in the
// field's v3.0 layout under DATA/datasets/<repository id>: meta/info.json,
// meta/stats.json, meta/tasks.parquet, meta/episodes/…parquet,
// data/…parquet and one MP4 per camera and file. A second export to the
// same repository appends episodes in new files. Everything new is written
// aside first and switched in at the end, so a failed or killed export
// leaves the dataset as it was; the job stays for a retry.
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "studio/live/frame_store.hpp"

namespace studio {

// An export refused before anything was written: the episodes disagree with
// each other or with the dataset (the message names how). The job is kept.
struct ExportRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ExportRequest {
  std::string user_id;
  std::string repo_id;
  std::optional<std::string> robot_type;
  std::optional<double> fps;
  std::string video_codec = "av1";  // or "h264"
  // Of a new dataset: a data or video file takes no more episodes once it
  // would pass this size (an existing dataset keeps its own).
  long data_file_mb = 100;
  long video_file_mb = 200;
  // A job shared between studios: noted in the dataset's meta/tessaline.json
  // with what it added, so a studio taking it over after it went in knows.
  std::string job_name{};
  // Returns once nothing encodes the episode of that key while it records
  // (empty: nothing does); its videos are used when complete and right.
  std::function<void(const std::string& episode_key)> await_live_video{};
};

struct ExportResult {
  std::filesystem::path dataset_dir;
  long episodes_added = 0;
  long frames_added = 0;
  long episodes_set_aside = 0;  // never ended: kept under DATA/interrupted/
  long episodes_encoded_before = 0;  // whose videos were ready: encoded while they recorded, or by an earlier attempt
};

// Path the dataset of `repo_id` goes to.
std::filesystem::path dataset_dir(const std::filesystem::path& data_dir, const std::string& repo_id);
// The same relative to the data directory, for reports (never an absolute
// path on this computer); from the name alone, so it holds while an export
// swaps the directory in or out.
std::string dataset_path(const std::string& repo_id);

using ExportProgress = std::function<void(long episodes_done, long episodes_total)>;

// Writes the job's episodes into the dataset, then removes the job
// directory. Throws with the reason (the OS's, where it has one).
ExportResult export_dataset(const ExportJob& job, const std::filesystem::path& data_dir, const ExportRequest& request,
                            const ExportProgress& progress = {});

// At start-up: finishes switching in an export that had begun to, and
// drops what interrupted exports had written aside.
void recover_exports(const std::filesystem::path& data_dir);

}  // namespace studio
