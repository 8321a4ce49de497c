#pragma once
// Export jobs shared by every studio given the same database and store
// (--db with --store). A studio that ends a session hands the job over: its
// staged episodes are uploaded to PREFIX/.tessaline/export-jobs/<job>/ and
// the job is queued in PostgreSQL. Every studio that exports (not
// --no-export) claims queued jobs one at a time (FOR UPDATE SKIP LOCKED)
// under a lease it renews while it works; a job whose lease ran out (its
// studio died or stalled) is claimed by another, and jobs of one dataset
// never run at once anywhere. The claiming studio brings its copy of the
// dataset up to the bucket's, exports, publishes under a journal, and only
// then marks the job done. The dataset's meta/tessaline.json names the jobs
// it holds, so a job taken over after it went in is only marked done.
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "kit/s3/client.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "studio/datasets/exporter.hpp"
#include "studio/live/frame_store.hpp"
#include "studio/fleet/node_registry.hpp"
#include "studio/fleet/postgres.hpp"

namespace studio {

// A dataset another studio is exporting to, for longer than an edit waits.
struct DatasetBusy : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ExportQueueOptions {
  std::string node;     // this studio's name in the jobs table
  bool exports = true;  // claims jobs (false: --no-export)
  std::chrono::seconds lease{30};
  NodeRegistry* registry = nullptr;  // told the job in hand; asked whether to drain
};

class ExportQueue {
 public:
  using Serialised = std::function<std::future<void>(std::function<void()>)>;
  // `serialised` runs work where the studio changes datasets (its export thread).
  ExportQueue(std::shared_ptr<Postgres> db, StoreAddress store, const kit::s3::Endpoint& endpoint,
              std::filesystem::path data_dir, ExportQueueOptions options, DatasetPublisher& publisher,
              Serialised serialised);
  ~ExportQueue();
  ExportQueue(const ExportQueue&) = delete;
  ExportQueue& operator=(const ExportQueue&) = delete;

  // A job taken from staging goes to the fleet, on the queue's own thread
  // (tried again while the store or the database is away; the job stays in
  // DATA/export-jobs until it is queued, and is handed over after a restart).
  void submit(const ExportJob& job, const ExportRequest& request);
  // The user's failed jobs are queued again, for the repository named; their episodes.
  // `from`: only jobs meant for that repository ("": every failed job of the user's).
  long retry(const std::string& user_id, const std::string& repo_id, const std::string& from = "");
  // The latest job of the repository as the export board reports it, if the user's.
  std::optional<nlohmann::json> status(const std::string& repo_id, const std::string& user_id);

  // Runs `work` on the serialised thread while this studio holds the
  // dataset as a job would (no export of it runs anywhere meanwhile);
  // waits up to `patience` for it, else throws DatasetBusy. `work` is
  // given the check its writes into the store must pass (publish_now).
  // Rethrows what `work` throws.
  void hold_dataset(const std::string& repo_id, const std::string& user_id, std::function<void(const HoldCheck&)> work,
                    std::chrono::seconds patience = std::chrono::seconds(60));

  // Stops claiming and handing over; a running job is left to its lease.
  void stop();

 private:
  struct Claimed {
    std::string name, repo_id, user_id;
    nlohmann::json request;
    long attempts = 0;
  };
  struct HandOver {
    ExportJob job;
    ExportRequest request;
    std::string name;
    std::chrono::steady_clock::time_point due;
    std::chrono::seconds pause{1};
  };

  void hand_over_loop();
  void hand_over(HandOver& h);
  void claim_loop();
  std::optional<Claimed> claim();
  void run(const Claimed& job);
  // Renews the lease on `held` until `done` is ready; `lost` once it may be another's.
  void keep_lease(const Claimed& held, std::future<void>& done, std::atomic<bool>& lost);
  void export_claimed(const Claimed& job, const std::atomic<bool>& lost);
  bool renew(const Claimed& job);
  // Throws DatasetLost unless `job` is still this studio's, with time to
  // spare on its lease (a write sent now lands well before another studio
  // could take the job over).
  void check_held(const Claimed& job);
  void finish(const Claimed& job, const nlohmann::json& result);
  void put_back(const Claimed& job, const std::string& error, bool for_good);
  ExportJob download(const Claimed& job);
  void remove_uploaded(const std::string& name);

  std::shared_ptr<Postgres> db_;
  StoreAddress store_;
  std::filesystem::path data_dir_;
  ExportQueueOptions options_;
  DatasetPublisher& publisher_;
  Serialised serialised_;
  kit::s3::Client hand_over_s3_;  // the hand-over thread's
  kit::s3::Client export_s3_;     // the serialised thread's

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, HandOver> pending_;  // by job name; guarded by mutex_
  std::atomic<long> edits_ = 0;
  bool stopping_ = false;                    // guarded by mutex_
  std::thread hand_over_thread_, claim_thread_;
};

}  // namespace studio
