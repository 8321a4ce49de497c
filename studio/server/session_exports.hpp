#pragma once
// Where a session's episodes go once it ends: exported on this studio's
// export thread (then published, with a store), or queued for the fleet's
// exporting studios; and what the operator is told of it.
#include <vector>

#include "kit/pool/thread_pool.hpp"
#include "studio/datasets/dataset_catalog.hpp"
#include "studio/datasets/export_board.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/datasets/live_encoder.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "studio/fleet/export_queue.hpp"
#include "studio/live/frame_store.hpp"
#include "studio/server/api_call.hpp"
#include "studio/server/studio_server.hpp"

namespace studio {

class SessionExports {
 public:
  // `publisher` and `queue` may be null (no store; no fleet).
  SessionExports(const StudioOptions& options, kit::ThreadPool& pool, ExportBoard& board, const DatasetCatalog& catalog,
                 DatasetPublisher* publisher, ExportQueue* queue, LiveEncoder* live_encoder)
      : options_(options), pool_(pool), board_(board), catalog_(catalog), publisher_(publisher), queue_(queue),
        live_encoder_(live_encoder) {}

  // What an export of the call's user and repository is asked to do; new datasets get the studio's settings.
  ExportRequest request_for(const Call& call) const;
  // A dataset belongs to the user whose session created it: only that user
  // may append to it. One without a recorded owner (another tool's) takes
  // appends from this computer only. The id of a dataset another tool
  // recorded, shown read-only, is refused. Throws Forbidden.
  void check_may_append(const Call& call, const std::string& repo_id) const;

  // A robot's offer begins a session: episodes an earlier session of the
  // user ended but never exported (it died) are kept as a job of their own,
  // reported failed with the reason, for the user to export elsewhere
  // (retry with fromRepoId = kUnfinishedSession) — never into this session's dataset.
  void begin_session(FrameStore& frames, const std::string& user_id, const std::string& session_id);
  static constexpr const char* kUnfinishedSession = "(a session that did not end)";

  // The jobs' episodes go into the request's dataset, in order.
  void start(const std::vector<ExportJob>& jobs, const ExportRequest& request);
  // The failed exports meant for `from` went to `to`: `from` is no longer failed.
  void moved(const std::string& from, const ExportRequest& to);
  // Of this studio's failed jobs, those meant for `from` (all without it).
  std::vector<ExportJob> failed_jobs(std::vector<ExportJob> jobs, const std::optional<std::string>& from) const;
  // The fleet's failed jobs (meant for `from`, or all) queued again for the repository; 0 without a fleet.
  long requeue_failed(const std::string& user_id, const std::string& repo_id, const std::optional<std::string>& from);
  Json status(const std::string& repo_id, const std::string& user_id) const;

 private:
  void run(const ExportJob& job, const ExportRequest& request);

  const StudioOptions& options_;
  kit::ThreadPool& pool_;
  ExportBoard& board_;
  const DatasetCatalog& catalog_;
  DatasetPublisher* publisher_;
  ExportQueue* queue_;
  LiveEncoder* live_encoder_;  // none: episodes are encoded at export
};

}  // namespace studio
