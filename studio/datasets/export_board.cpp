#include "studio/datasets/export_board.hpp"

#include <chrono>
#include <fstream>
#include <sstream>

#include "kit/files/atomic_file.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

constexpr const char* kRequestFile = "request.json";
constexpr const char* kFailureFile = "failure.json";

std::optional<Json> read_json(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  try {
    Json parsed = Json::parse(text.str());
    return parsed.is_object() ? std::optional(parsed) : std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

const char* const kExportRetryHint = "POST /sessions/export/retry with this userId and repoId";

Json request_to_json(const ExportRequest& r) {
  Json j{{"userId", r.user_id},         {"repoId", r.repo_id},           {"videoCodec", r.video_codec},
         {"dataFileMb", r.data_file_mb}, {"videoFileMb", r.video_file_mb}};
  if (r.robot_type) j["robotType"] = *r.robot_type;
  if (r.fps) j["fps"] = *r.fps;
  return j;
}

ExportRequest request_from_json(const Json& j) {
  ExportRequest r;
  r.user_id = j.at("userId");
  r.repo_id = j.at("repoId");
  r.video_codec = j.value("videoCodec", r.video_codec);
  r.data_file_mb = j.value("dataFileMb", r.data_file_mb);
  r.video_file_mb = j.value("videoFileMb", r.video_file_mb);
  if (j.contains("robotType")) r.robot_type = j["robotType"].get<std::string>();
  if (j.contains("fps")) r.fps = j["fps"].get<double>();
  return r;
}

std::optional<ExportRequest> kept_request(const fs::path& job_dir) {
  const auto kept = read_json(job_dir / kRequestFile);
  if (!kept || !(*kept)["userId"].is_string() || !(*kept)["repoId"].is_string()) return std::nullopt;
  try {
    return request_from_json(*kept);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

ExportBoard::ExportBoard(fs::path data_dir)
    : data_dir_(std::move(data_dir)),
      last_number_(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count()) {}

void ExportBoard::remember_request(const ExportJob& job, const ExportRequest& request) const {
  try {
    kit::files::write_atomically(job.dir / kRequestFile, kit::json::to_file(request_to_json(request)));
  } catch (const std::exception&) {
    // A full disk: the export is tried all the same (and fails, kept for a
    // retry); only a restart before then would not know whose job it is.
  }
}

void ExportBoard::remember_failure(const ExportJob& job, const std::string& reason) const {
  try {
    kit::files::write_atomically(job.dir / kFailureFile, kit::json::to_file(Json{{"error", reason}}));
  } catch (const std::exception&) {
    // A full disk may be why it failed; the board still has the reason until a restart.
  }
}

void ExportBoard::load_kept_jobs() {
  const fs::path jobs = data_dir_ / "export-jobs";
  if (!fs::exists(jobs)) return;
  for (const auto& e : fs::directory_iterator(jobs)) {
    if (!e.is_directory()) continue;
    const auto request = kept_request(e.path());
    if (!request) continue;
    const auto failure = read_json(e.path() / kFailureFile);
    const std::string reason = failure && (*failure)["error"].is_string()
                                   ? (*failure)["error"].get<std::string>()
                                   : "the studio stopped before this export finished";
    set(*request, {{"state", "failed"}, {"error", reason}, {"datasetDir", dataset_path(request->repo_id)}, {"retry", kExportRetryHint}});
  }
}

void ExportBoard::begin(const ExportRequest& request) {
  std::lock_guard lock(mutex_);
  entries_[request.repo_id] = {request.user_id,
                               {{"state", "running"}, {"datasetDir", dataset_path(request.repo_id)}},
                               ++last_number_};
}

void ExportBoard::set(const ExportRequest& request, Json state) {
  if (state["state"] == "failed" && !state.contains("retry")) state["retry"] = kExportRetryHint;
  std::lock_guard lock(mutex_);
  Entry& entry = entries_[request.repo_id];
  if (entry.number == 0) entry.number = ++last_number_;
  entry.owner = request.user_id;
  entry.state = std::move(state);
}

Json ExportBoard::get(const std::string& repo_id, const std::string& user_id) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(repo_id);
  if (it == entries_.end() || it->second.owner != user_id) return {{"state", "unknown"}};
  Json state = it->second.state;
  state["export"] = it->second.number;
  return state;
}

}  // namespace studio
