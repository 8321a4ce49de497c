#include "studio/fleet/export_queue.hpp"

#include <algorithm>
#include <cstdio>

#include "kit/files/atomic_file.hpp"
#include "kit/json/text.hpp"
#include "kit/loop/stop_point.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/export_board.hpp"

namespace studio {
namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kHandOverFile = "fleet-job.json";  // in a job directory being handed over
// Claimed jobs' episodes, fetched from the store: never DATA/export-jobs,
// whose jobs this studio's users may export again as their own.
constexpr const char* kDownloads = "fleet-jobs";
constexpr long kMostAttempts = 5;                        // then the job fails for good (its episodes are kept)
constexpr std::chrono::seconds kLongestPause{60};

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string seconds(std::chrono::seconds s) { return std::to_string(s.count()) + " seconds"; }

}  // namespace

ExportQueue::ExportQueue(std::shared_ptr<Postgres> db, StoreAddress store, const kit::s3::Endpoint& endpoint,
                         fs::path data_dir, ExportQueueOptions options, DatasetPublisher& publisher, Serialised serialised)
    : db_(std::move(db)),
      store_(std::move(store)),
      data_dir_(std::move(data_dir)),
      options_(std::move(options)),
      publisher_(publisher),
      serialised_(std::move(serialised)),
      hand_over_s3_(endpoint),
      export_s3_(endpoint) {
  // A job's `store` (the store's URL): studios share jobs only with studios of the same store.
  db_->ensure_schema({"CREATE TABLE IF NOT EXISTS tessaline_export_jobs ("
                      " name text PRIMARY KEY, store text NOT NULL, number bigint NOT NULL, repo_id text NOT NULL, user_id text NOT NULL,"
                      " request text NOT NULL, episodes integer NOT NULL, state text NOT NULL,"
                      " node text, lease_until timestamptz, not_before timestamptz, attempts integer NOT NULL DEFAULT 0,"
                      " progress text, result text, error text)",
                      "CREATE INDEX IF NOT EXISTS tessaline_export_jobs_repo ON tessaline_export_jobs (store, repo_id, number)",
                      "ALTER TABLE tessaline_export_jobs ADD COLUMN IF NOT EXISTS finished timestamptz"});
  fs::remove_all(data_dir_ / kDownloads);  // what a stopped run fetched is in the store still
  // Jobs whose hand-over an earlier run began go on being handed over.
  if (fs::exists(data_dir_ / "export-jobs")) {
    for (const auto& e : fs::directory_iterator(data_dir_ / "export-jobs")) {
      const fs::path file = e.path() / kHandOverFile;
      if (!fs::exists(file)) continue;
      const Json kept = Json::parse(read_file(file), nullptr, false);
      const auto request = kept_request(e.path());
      if (!kept.is_object() || !request) continue;
      HandOver h{{e.path(), 0}, *request, kept.value("name", ""), Clock::now()};
      for (const auto& d : fs::directory_iterator(e.path())) h.job.episodes += d.is_directory();
      if (!h.name.empty()) pending_[h.name] = std::move(h);
    }
  }
  hand_over_thread_ = std::thread([this] { hand_over_loop(); });
  if (options_.exports) claim_thread_ = std::thread([this] { claim_loop(); });
}

ExportQueue::~ExportQueue() { stop(); }

void ExportQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (hand_over_thread_.joinable()) hand_over_thread_.join();
  if (claim_thread_.joinable()) claim_thread_.join();
}

void ExportQueue::submit(const ExportJob& job, const ExportRequest& request) {
  HandOver h{job, request, options_.node + "-" + job.dir.filename().string(), Clock::now()};
  // Named once: a restart, or a retry of a job whose hand-over waits, hands
  // the same job over under the same name, so its episodes go in once.
  const fs::path named = job.dir / kHandOverFile;
  const Json kept = fs::exists(named) ? Json::parse(read_file(named), nullptr, false) : Json();
  if (kept.is_object() && !kept.value("name", "").empty()) {
    h.name = kept["name"];
  } else {
    kit::files::write_atomically(named, kit::json::to_file(Json{{"name", h.name}}));  // the request is in request.json
  }
  {
    std::lock_guard lock(mutex_);
    if (const auto it = pending_.find(h.name); it != pending_.end()) {
      it->second.due = Clock::now();  // on its way already: tried again now
    } else {
      pending_[h.name] = std::move(h);
    }
  }
  wake_.notify_all();
}

void ExportQueue::hand_over_loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto next = Clock::time_point::max();
    bool worked = false;  // the lock was let go: look again before waiting (a submit may have come)
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second.due > Clock::now()) {
        next = std::min(next, it->second.due);
        ++it;
        continue;
      }
      HandOver h = it->second;
      lock.unlock();
      bool done = false;
      std::string error;
      try {
        hand_over(h);
        done = true;
      } catch (const std::exception& e) {
        error = e.what();
        try {
          Postgres::Session(*db_).run("UPDATE tessaline_export_jobs SET error = $2 WHERE name = $1 AND state = 'uploading'",
                                      {h.name, error});
        } catch (const std::exception&) {  // the database may be what is away
        }
      }
      lock.lock();
      worked = true;
      it = pending_.find(h.name);
      if (done) {
        it = pending_.erase(it);
        continue;
      }
      std::fprintf(stderr, "studio: handing export job %s over failed (trying again in %lld s): %s\n", h.name.c_str(),
                   static_cast<long long>(it->second.pause.count()), error.c_str());
      it->second.due = Clock::now() + it->second.pause;
      it->second.pause = std::min(it->second.pause * 2, kLongestPause);
      ++it;
    }
    if (worked) continue;
    if (next == Clock::time_point::max()) wake_.wait(lock);
    else wake_.wait_until(lock, next);
  }
}

// Row first (so any studio can tell the operator), then the episodes, then queued.
void ExportQueue::hand_over(HandOver& h) {
  {
    Postgres::Session s(*db_);
    s.run("INSERT INTO tessaline_export_jobs (name, store, number, repo_id, user_id, request, episodes, state)"
          " VALUES ($1, $7, GREATEST((SELECT COALESCE(MAX(number), 0) + 1 FROM tessaline_export_jobs), $2::bigint),"
          " $3, $4, $5, $6::integer, 'uploading') ON CONFLICT (name) DO NOTHING",
          {h.name, std::to_string(now_ms()), h.request.repo_id, h.request.user_id, request_to_json(h.request).dump(),
           std::to_string(h.job.episodes), store_.url()});
    const Rows rows = s.run("SELECT state FROM tessaline_export_jobs WHERE name = $1", {h.name});
    if (rows.size() == 1 && rows.text(0, 0) != "uploading") {  // queued before a restart
      fs::remove_all(h.job.dir);
      return;
    }
  }
  hand_over_s3_.create_bucket(store_.bucket);
  for (const auto& e : fs::recursive_directory_iterator(h.job.dir)) {
    if (!e.is_regular_file() || e.path().filename() == kHandOverFile) continue;
    const std::string rel = e.path().lexically_relative(h.job.dir).generic_string();
    hand_over_s3_.upload_file(store_.bucket, store_.internal_key("export-jobs/" + h.name + "/" + rel), e.path());
  }
  Postgres::Session(*db_).run(
      "UPDATE tessaline_export_jobs SET state = 'queued', error = NULL WHERE name = $1 AND state = 'uploading'", {h.name});
  fs::remove_all(h.job.dir);
  std::printf("studio: export job %s (%ld episode(s) of %s) queued for the exporting studios\n", h.name.c_str(),
              h.job.episodes, h.request.repo_id.c_str());
  std::fflush(stdout);
}

long ExportQueue::retry(const std::string& user_id, const std::string& repo_id, const std::string& from) {
  const Rows rows = Postgres::Session(*db_).run(
      "UPDATE tessaline_export_jobs SET state = 'queued', attempts = 0, error = NULL, not_before = NULL, repo_id = $2,"
      " request = (request::jsonb || jsonb_build_object('repoId', $2::text))::text,"
      " number = (SELECT MAX(number) + 1 FROM tessaline_export_jobs)"
      " WHERE user_id = $1 AND store = $3 AND state = 'failed' AND ($4 = '' OR repo_id = $4) RETURNING episodes",
      {user_id, repo_id, store_.url(), from});
  long episodes = 0;
  for (int i = 0; i < rows.size(); ++i) episodes += rows.number(i, 0);
  if (episodes > 0) wake_.notify_all();
  return episodes;
}

std::optional<Json> ExportQueue::status(const std::string& repo_id, const std::string& user_id) {
  const Rows rows = Postgres::Session(*db_).run(
      "SELECT user_id, number, state, episodes, progress, result, error, node FROM tessaline_export_jobs"
      " WHERE store = $2 AND repo_id = $1 AND state <> 'editing' ORDER BY number DESC LIMIT 1",
      {repo_id, store_.url()});
  if (rows.size() == 0) return std::nullopt;
  if (rows.text(0, 0) != user_id) return Json{{"state", "unknown"}};
  const std::string state = rows.text(0, 2);
  const std::string error = rows.text(0, 6);
  Json out{{"export", std::stoll(rows.text(0, 1))},
           {"datasetDir", dataset_path(repo_id)}};
  if (state == "done") {
    out.update(Json::parse(rows.text(0, 5)));
    out["state"] = "done";
    out["publish"] = {{"state", "published"}, {"store", store_.url()}};
  } else if (state == "failed") {
    out.update({{"state", "failed"}, {"error", error}, {"retry", kExportRetryHint}});
  } else {
    out["state"] = "running";
    out["episodesTotal"] = rows.number(0, 3);
    out["episodesDone"] = 0;
    if (state == "running") {
      if (rows.at(0, 4)) out["episodesDone"] = Json::parse(*rows.at(0, 4)).value("done", 0);
      out["node"] = rows.text(0, 7);
    } else if (state == "uploading") {
      out["waiting"] = error.empty() ? "the episodes are being handed to the exporting studios"
                                     : "handing the episodes to the exporting studios is tried again: " + error;
    } else {
      out["waiting"] = error.empty() ? "queued for an exporting studio" : "queued again after: " + error;
    }
  }
  return out;
}

void ExportQueue::claim_loop() {
  std::string last_error;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    std::optional<Claimed> job;
    try {
      if (!options_.registry || !options_.registry->draining()) job = claim();
      last_error.clear();
    } catch (const std::exception& e) {
      if (e.what() != last_error) std::fprintf(stderr, "studio: cannot claim export jobs: %s\n", e.what());
      last_error = e.what();
    }
    if (job) run(*job);
    lock.lock();
    if (!job) wake_.wait_for(lock, std::chrono::seconds(1));
  }
}

// One claim at a time across studios (a transaction-wide advisory lock), so
// "no job of this dataset runs elsewhere" holds when the row is taken.
std::optional<ExportQueue::Claimed> ExportQueue::claim() {
  Postgres::Session s(*db_);
  return s.transaction([&](Postgres::Session& t) -> std::optional<Claimed> {
    t.run("SELECT pg_advisory_xact_lock(7262011)");
    const Rows rows = t.run(
        "UPDATE tessaline_export_jobs SET state = 'running', node = $1, lease_until = now() + $2::interval,"
        " attempts = attempts + 1, progress = NULL"
        " WHERE name = (SELECT j.name FROM tessaline_export_jobs j"
        "  WHERE j.store = $3 AND ((j.state = 'queued' AND (j.not_before IS NULL OR j.not_before <= now()))"
        "         OR (j.state = 'running' AND j.lease_until < now()))"
        "    AND NOT EXISTS (SELECT 1 FROM tessaline_export_jobs r WHERE r.store = j.store AND r.repo_id = j.repo_id"
        "                    AND r.name <> j.name"
        "                    AND r.state IN ('running', 'editing') AND r.lease_until >= now())"
        "  ORDER BY j.number LIMIT 1 FOR UPDATE SKIP LOCKED)"
        " RETURNING name, repo_id, user_id, request, attempts",
        {options_.node, seconds(options_.lease), store_.url()});
    if (rows.size() == 0) return std::nullopt;
    return Claimed{rows.text(0, 0), rows.text(0, 1), rows.text(0, 2), Json::parse(rows.text(0, 3)), rows.number(0, 4)};
  });
}

bool ExportQueue::renew(const Claimed& job) {
  return Postgres::Session(*db_)
             .run("UPDATE tessaline_export_jobs SET lease_until = now() + $3::interval"
                  " WHERE name = $1 AND node = $2 AND state IN ('running', 'editing')",
                  {job.name, options_.node, seconds(options_.lease)})
             .affected() == 1;
}

void ExportQueue::check_held(const Claimed& job) {
  const auto spare = std::chrono::duration_cast<std::chrono::milliseconds>(options_.lease) / 3;
  const Rows rows = Postgres::Session(*db_).run(
      "SELECT 1 FROM tessaline_export_jobs WHERE name = $1 AND node = $2 AND state IN ('running', 'editing')"
      " AND lease_until > now() + $3::interval",
      {job.name, options_.node, std::to_string(spare.count()) + " milliseconds"});
  if (rows.size() != 1) {
    throw DatasetLost("this studio's lease on " + job.repo_id + " ran out (another studio may hold it now): it writes nothing more to it");
  }
}

// The export runs on the serialised thread; this one keeps the lease. A
// lease this studio could not renew for a whole lease may be another's now.
void ExportQueue::run(const Claimed& job) {
  std::printf("studio: exporting job %s of %s (attempt %ld)\n", job.name.c_str(), job.repo_id.c_str(), job.attempts);
  std::fflush(stdout);
  std::atomic<bool> lost = false;
  if (options_.registry) options_.registry->holding(job.name);
  std::future<void> done = serialised_([this, &job, &lost] { export_claimed(job, lost); });
  keep_lease(job, done, lost);
  if (options_.registry) options_.registry->holding("");
  done.get();
}

void ExportQueue::keep_lease(const Claimed& held, std::future<void>& done, std::atomic<bool>& lost) {
  auto renewed = Clock::now();
  while (done.wait_for(options_.lease / 3) != std::future_status::ready) {
    try {
      if (renew(held)) renewed = Clock::now();
      else lost = true;
    } catch (const std::exception&) {
      if (Clock::now() - renewed > options_.lease) lost = true;
    }
  }
}

// An edit holds the dataset by a row of its own ('editing'), which claims
// respect as they respect a running job; it goes when the edit is done.
void ExportQueue::hold_dataset(const std::string& repo_id, const std::string& user_id, std::function<void(const HoldCheck&)> work,
                               std::chrono::seconds patience) {
  const Claimed edit{options_.node + "-edit-" + std::to_string(now_ms()) + "-" + std::to_string(++edits_), repo_id, user_id,
                     Json::object(), 0};
  const auto until = Clock::now() + patience;
  for (;;) {
    const bool held = Postgres::Session(*db_).transaction([&](Postgres::Session& t) {
      t.run("SELECT pg_advisory_xact_lock(7262011)");
      t.run("DELETE FROM tessaline_export_jobs WHERE state = 'editing' AND lease_until < now() - interval '1 hour'");
      const Rows busy = t.run("SELECT 1 FROM tessaline_export_jobs WHERE store = $1 AND repo_id = $2"
                              " AND state IN ('running', 'editing') AND lease_until >= now()",
                              {store_.url(), repo_id});
      if (busy.size() > 0) return false;
      t.run("INSERT INTO tessaline_export_jobs (name, store, number, repo_id, user_id, request, episodes, state, node,"
            " lease_until) VALUES ($1, $2, 0, $3, $4, '{}', 0, 'editing', $5, now() + $6::interval)",
            {edit.name, store_.url(), repo_id, user_id, options_.node, seconds(options_.lease)});
      return true;
    });
    if (held) break;
    if (Clock::now() > until) {
      throw DatasetBusy("another studio is exporting to " + repo_id + "; try again when that export is done");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::atomic<bool> lost = false;
  std::future<void> done = serialised_([this, &edit, &lost, work = std::move(work)] {
    work([this, &edit, &lost] {
      if (lost) throw DatasetLost("this studio's hold on " + edit.repo_id + " ran out: it writes nothing more to it");
      check_held(edit);
    });
  });
  keep_lease(edit, done, lost);
  try {
    Postgres::Session(*db_).run("DELETE FROM tessaline_export_jobs WHERE name = $1", {edit.name});
  } catch (const std::exception&) {  // its lease runs out instead
  }
  done.get();
}

void ExportQueue::export_claimed(const Claimed& job, const std::atomic<bool>& lost) {
  const fs::path dataset = dataset_dir(data_dir_, job.repo_id);
  try {
    publisher_.pull(job.repo_id, dataset, data_dir_ / "set-aside");
    kit::stop_point("export:fetch");
    const fs::path sidecar_file = dataset / "meta" / "tessaline.json";
    const Json sidecar = fs::exists(sidecar_file) ? Json::parse(read_file(sidecar_file), nullptr, false) : Json();
    if (sidecar.is_object() && sidecar.contains("jobs") && sidecar["jobs"].contains(job.name)) {
      // It went in before its studio could say so.
      const Json& added = sidecar["jobs"][job.name];
      finish(job, {{"episodesAdded", added.value("episodes", 0)}, {"framesAdded", added.value("frames", 0)}});
      return;
    }
    const std::string owner = sidecar.is_object() ? sidecar.value("user_id", "") : "";
    if (!owner.empty() && owner != job.user_id) {
      throw ExportRefused("the dataset " + job.repo_id + " belongs to another user; export to another repository");
    }
    const ExportJob local = download(job);
    ExportRequest request = request_from_json(job.request);
    request.job_name = job.name;
    const ExportResult r = export_dataset(local, data_dir_, request, [&](long done, long total) {
      kit::stop_point("export:encode");
      if (lost) throw DatasetLost("this studio's lease on the job ran out");
      try {
        Postgres::Session(*db_).run("UPDATE tessaline_export_jobs SET progress = $3 WHERE name = $1 AND node = $2",
                                    {job.name, options_.node, Json{{"done", done}, {"total", total}}.dump()});
      } catch (const std::exception&) {  // progress is news, not state
      }
    });
    publisher_.publish_now(job.repo_id, r.dataset_dir, [&] {
      if (lost) throw DatasetLost("this studio's lease on the job ran out");
      check_held(job);
    });
    finish(job, {{"episodesAdded", r.episodes_added}, {"framesAdded", r.frames_added}});
    std::printf("studio: exported %ld episode(s), %ld frame(s) of job %s to %s\n", r.episodes_added, r.frames_added,
                job.name.c_str(), job.repo_id.c_str());
    std::fflush(stdout);
  } catch (const ExportRefused& e) {
    put_back(job, e.what(), true);
  } catch (const DatasetLost& e) {
    // Whoever holds the job now settles what this studio left half-way.
    std::fprintf(stderr, "studio: export job %s of %s stopped: %s\n", job.name.c_str(), job.repo_id.c_str(), e.what());
    put_back(job, e.what(), false);
  } catch (const kit::s3::Error& e) {
    // A store that is away or overloaded is waited for, however long that
    // takes (the pause grows to a minute); what it refuses fails after a few tries.
    const bool away = e.transient() || e.status() == 408 || e.status() == 429;
    put_back(job, e.what(), !away && job.attempts >= kMostAttempts);
  } catch (const std::exception& e) {
    put_back(job, e.what(), job.attempts >= kMostAttempts);
  }
  std::error_code ignored;
  fs::remove_all(data_dir_ / kDownloads / job.name, ignored);  // the store keeps them until the job is done
}

void ExportQueue::finish(const Claimed& job, const Json& result) {
  const Rows rows = Postgres::Session(*db_).run(
      "UPDATE tessaline_export_jobs SET state = 'done', result = $3, error = NULL, lease_until = NULL, finished = now()"
      " WHERE name = $1 AND node = $2 AND state = 'running'",
      {job.name, options_.node, result.dump()});
  if (rows.affected() != 1) throw std::runtime_error("the job was taken over by another studio");
  remove_uploaded(job.name);
}

void ExportQueue::put_back(const Claimed& job, const std::string& error, bool for_good) {
  std::fprintf(stderr, "studio: export job %s of %s failed%s: %s\n", job.name.c_str(), job.repo_id.c_str(),
               for_good ? "" : " (queued again)", error.c_str());
  const auto pause = std::min(kLongestPause, std::chrono::seconds(1L << std::min(job.attempts, 6L)));
  try {
    Postgres::Session(*db_).run(
        for_good ? "UPDATE tessaline_export_jobs SET state = 'failed', error = $3, lease_until = NULL"
                   " WHERE name = $1 AND node = $2 AND state = 'running'"
                 : "UPDATE tessaline_export_jobs SET state = 'queued', error = $3, lease_until = NULL,"
                   " not_before = now() + $4::interval WHERE name = $1 AND node = $2 AND state = 'running'",
        for_good ? Postgres::Params{job.name, options_.node, error}
                 : Postgres::Params{job.name, options_.node, error, seconds(pause)});
  } catch (const std::exception&) {  // the database is away: the lease runs out, and the job is claimed again
  }
}

ExportJob ExportQueue::download(const Claimed& job) {
  ExportJob local{data_dir_ / kDownloads / job.name, 0};
  fs::remove_all(local.dir);
  const std::string root = store_.internal_key("export-jobs/" + job.name + "/");
  const auto objects = export_s3_.list(store_.bucket, root);
  if (objects.empty()) throw std::runtime_error("the job's episodes are not in the store (" + root + ")");
  for (const auto& object : objects) {
    const fs::path file = local.dir / object.key.substr(root.size());
    fs::create_directories(file.parent_path());
    kit::files::write_atomically(file, export_s3_.get(store_.bucket, object.key));
  }
  for (const auto& e : fs::directory_iterator(local.dir)) local.episodes += e.is_directory();
  return local;
}

void ExportQueue::remove_uploaded(const std::string& name) {
  try {
    for (const auto& object : export_s3_.list(store_.bucket, store_.internal_key("export-jobs/" + name + "/"))) {
      export_s3_.remove(store_.bucket, object.key);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "studio: the episodes of the finished job %s stay in the store: %s\n", name.c_str(), e.what());
  }
}

}  // namespace studio
