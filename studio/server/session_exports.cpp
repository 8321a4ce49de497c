#include "studio/server/session_exports.hpp"

#include <cstdio>

#include "studio/datasets/dataset_library.hpp"

namespace studio {
namespace fs = std::filesystem;

ExportRequest SessionExports::request_for(const Call& call) const {
  ExportRequest r;
  r.user_id = call.user();
  r.repo_id = call.repo_id();
  r.video_codec = options_.video_codec;
  r.data_file_mb = options_.data_file_mb;
  r.video_file_mb = options_.video_file_mb;
  if (live_encoder_) r.await_live_video = [live = live_encoder_](const std::string& key) { live->await(key); };
  return r;
}

void SessionExports::check_may_append(const Call& call, const std::string& repo_id) const {
  const fs::path local = dataset_dir(options_.data_dir, repo_id);
  if (!fs::exists(local / "meta" / "info.json")) {
    // A new dataset of that id would hide another tool's in the viewer, without a word.
    std::optional<DatasetEntry> other;
    try {
      other = catalog_.find(repo_id);
    } catch (const DatasetNotFound&) {
    }
    if (other && other->read_only) {
      throw Forbidden("the repository id " + repo_id + " names a dataset another tool recorded (" + other->path.string() +
                      ", shown read-only): export to another repository");
    }
    return;
  }
  // The viewer's catalog (the bucket's datasets, in a fleet) decides; a
  // dataset whose publication never went in is known here only.
  DatasetEntry dataset{repo_id, local, false};
  try {
    dataset = catalog_.find(repo_id);
  } catch (const DatasetNotFound&) {
  }
  const std::string owner = dataset_owner(dataset);
  if (owner.empty() ? call.signed_in.has_value() : owner != call.user()) {
    throw Forbidden("the dataset " + repo_id + " belongs to another user; export to another repository");
  }
}

void SessionExports::begin_session(FrameStore& frames, const std::string& user_id, const std::string& session_id) {
  const auto kept = frames.begin_session(user_id, session_id);
  if (!kept) return;
  ExportRequest request;
  request.user_id = user_id;
  request.repo_id = kUnfinishedSession;
  board_.remember_request(*kept, request);
  const std::string reason = std::to_string(kept->episodes) + " episode(s) of a session that did not end are kept apart from this one: " +
                             "export them to a repository of their own, or leave them";
  board_.remember_failure(*kept, reason);
  board_.set(request, {{"state", "failed"}, {"error", reason}, {"episodes", kept->episodes}});
  std::printf("studio: %s's %s\n", user_id.c_str(), reason.c_str());
  std::fflush(stdout);
}

void SessionExports::moved(const std::string& from, const ExportRequest& to) {
  ExportRequest was = to;
  was.repo_id = from;
  board_.set(was, {{"state", "moved"}, {"to", to.repo_id}});
}

void SessionExports::start(const std::vector<ExportJob>& jobs, const ExportRequest& request) {
  for (const auto& job : jobs) board_.remember_request(job, request);
  board_.begin(request);
  if (queue_) {
    for (const auto& job : jobs) queue_->submit(job, request);
    return;
  }
  pool_.submit([this, jobs, request] {
    for (const auto& job : jobs) run(job, request);
  });
}

std::vector<ExportJob> SessionExports::failed_jobs(std::vector<ExportJob> jobs, const std::optional<std::string>& from) const {
  if (!from) return jobs;
  std::erase_if(jobs, [&](const ExportJob& job) {
    const auto kept = kept_request(job.dir);
    return !kept || kept->repo_id != *from;
  });
  return jobs;
}

long SessionExports::requeue_failed(const std::string& user_id, const std::string& repo_id, const std::optional<std::string>& from) {
  return queue_ ? queue_->retry(user_id, repo_id, from.value_or("")) : 0;
}

Json SessionExports::status(const std::string& repo_id, const std::string& user_id) const {
  if (queue_) {
    if (auto shared = queue_->status(repo_id, user_id)) return *shared;
  }
  Json status = board_.get(repo_id, user_id);
  if (publisher_) status["publish"] = publisher_->state(repo_id);
  return status;
}

void SessionExports::run(const ExportJob& job, const ExportRequest& request) {
  const std::string target = dataset_path(request.repo_id);
  try {
    const ExportResult r = export_dataset(job, options_.data_dir, request, [&](long done, long total) {
      board_.set(request, {{"state", "running"}, {"datasetDir", target}, {"episodesDone", done}, {"episodesTotal", total}});
    });
    board_.set(request, {{"state", "done"}, {"datasetDir", target}, {"episodesAdded", r.episodes_added}, {"framesAdded", r.frames_added}});
    std::printf("studio: exported %ld episode(s), %ld frame(s) of %s to %s (%ld episode(s) encoded before the export)\n",
                r.episodes_added, r.frames_added, request.repo_id.c_str(), r.dataset_dir.c_str(), r.episodes_encoded_before);
    std::fflush(stdout);
    if (publisher_) publisher_->publish(request.repo_id, r.dataset_dir);
  } catch (const std::exception& e) {
    // The job directory stays in export-jobs/, with the reason beside it,
    // so nothing is lost and POST /sessions/export/retry runs it again.
    board_.remember_failure(job, e.what());
    board_.set(request, {{"state", "failed"}, {"error", e.what()}, {"datasetDir", target}});
    std::fprintf(stderr, "studio: export of %s failed: %s\n", request.repo_id.c_str(), e.what());
  }
}

}  // namespace studio
