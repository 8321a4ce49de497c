#pragma once
// Exported datasets copied to S3 object storage (`--store s3://BUCKET/PREFIX`):
// each dataset under PREFIX/<repository id>/ in the same v3.0 layout, so
// training code that reads datasets from a bucket (or a synced copy) takes
// it as it is. The studio's own folder stays the working copy; after every
// change (an export, a deleted episode) and at start-up, the dataset's
// changed files are uploaded — data and videos first, meta/info.json last,
// so a reader never finds the dataset's description before its files — and
// objects of files that went are removed. What was uploaded is noted in
// DATASET/.tessaline-published, so an interrupted or failed publication
// goes on where it stopped: failures are retried with growing pauses
// (1 s to 60 s), and the local dataset is never touched by them. A dataset
// in the bucket that this studio did not publish (another studio exported
// to the same repository id) is left alone, and the publication waits
// with that reason: two studios' files are never mixed.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <mutex>
#include <string>
#include <thread>

#include "kit/s3/client.hpp"

namespace studio {

// "s3://BUCKET/PREFIX" (the prefix may be empty).
struct StoreAddress {
  std::string bucket;
  std::string prefix;  // without a trailing '/'
  // Throws std::invalid_argument naming what is wrong.
  static StoreAddress parse(const std::string& url);
  std::string key(const std::string& repo_id, const std::string& rel) const;
  // PREFIX/.tessaline/<rel>: the studios' own objects, beside the datasets.
  std::string internal_key(const std::string& rel) const;
  // s3://BUCKET[/PREFIX], as the store is named to users.
  std::string url() const;
};

// This studio no longer holds a shared dataset it was changing (its lease
// ran out; another studio may hold it now): it writes nothing more to it.
struct DatasetLost : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Asked before every write into a shared dataset in the store; throws
// DatasetLost once the dataset is no longer this studio's to change.
using HoldCheck = std::function<void()>;

class DatasetPublisher {
 public:
  // `serialised` runs a task where the studio changes datasets (its export
  // thread), so a dataset is never read while it changes.
  DatasetPublisher(StoreAddress store, kit::s3::Endpoint endpoint,
                   std::function<void(std::function<void()>)> serialised);
  ~DatasetPublisher();
  DatasetPublisher(const DatasetPublisher&) = delete;
  DatasetPublisher& operator=(const DatasetPublisher&) = delete;

  // Has the dataset's changes published (through `serialised`, soon).
  // Never throws: a failure is noted in state() and retried.
  void publish(const std::string& repo_id, const std::filesystem::path& dataset);

  // {"state": "published" | "publishing" | "waiting", "store": "s3://...",
  //  "error": the last failure while waiting}
  std::map<std::string, std::string> state(const std::string& repo_id) const;

  const StoreAddress& store() const { return store_; }

  // For studios that share the store's datasets (one job of a dataset at a
  // time, see ExportQueue); on the serialised thread, throwing on failure.
  // publish_now() uploads the changes under a journal in the store: which
  // objects it replaces (copied aside first) and adds. It is fenced twice:
  // `held` is asked before every write, and every object goes in by a
  // conditional write that the store refuses unless the object is still
  // what this studio pulled (or absent, for one it adds); either ends it
  // with DatasetLost, writing nothing more. pull() first ends
  // what such a journal says stopped half-way — completed when its
  // info.json went in, else undone — then makes `dataset` the bucket's
  // copy. Local files the bucket never had (an export that was not
  // published) are moved under `set_aside` first, never deleted.
  void publish_now(const std::string& repo_id, const std::filesystem::path& dataset, const HoldCheck& held);
  void pull(const std::string& repo_id, const std::filesystem::path& dataset, const std::filesystem::path& set_aside);

  // No more runs are handed to `serialised` (those handed over still run).
  // Before the serialised thread stops; the destructor calls it too.
  void stop();

 private:
  struct Pending {
    std::filesystem::path dataset;
    std::chrono::steady_clock::time_point due;  // time_point::max() while it runs
    std::chrono::seconds pause{1};
    long asked = 0;  // publish() calls so far: one during a run means run again
    std::string error;
  };
  void run_now(const std::string& repo_id, const std::filesystem::path& dataset);
  // `held` null: a studio that shares no datasets, writing without a journal.
  void upload_changes(const std::string& repo_id, const std::filesystem::path& dataset, const HoldCheck* held);
  void retry_loop();

  StoreAddress store_;
  kit::s3::Client s3_;  // used on the serialised thread only
  std::function<void(std::function<void()>)> serialised_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, Pending> pending_;  // by repository id; guarded by mutex_
  std::map<std::string, std::string> states_;  // guarded by mutex_
  bool stopping_ = false;                      // guarded by mutex_
  std::thread retry_thread_;
};

}  // namespace studio
