#include "studio/fleet/dataset_publisher.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <vector>

#include "kit/files/atomic_file.hpp"
#include "kit/loop/stop_point.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/fleet/dataset_mirror.hpp"
#include "kit/digest/digest.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace {
constexpr std::chrono::seconds kLongestPause{60};

// Whether an object under `etag` holds the bytes whose MD5 is `md5`: put in
// one request (the MD5 itself) or copied as one part (the MD5 of the MD5, "-1").
bool holds_bytes(const std::string& etag, const std::string& md5) {
  if (etag == md5) return true;
  std::string binary;
  for (size_t i = 0; i + 1 < md5.size(); i += 2) binary += static_cast<char>(std::stoi(md5.substr(i, 2), nullptr, 16));
  return etag == kit::md5_hex(binary) + "-1";
}
}  // namespace

StoreAddress StoreAddress::parse(const std::string& url) {
  const std::string scheme = "s3://";
  if (url.rfind(scheme, 0) != 0) throw std::invalid_argument("a store is given as s3://BUCKET/PREFIX, not '" + url + "'");
  const std::string rest = url.substr(scheme.size());
  const size_t slash = rest.find('/');
  StoreAddress address{rest.substr(0, slash), slash == std::string::npos ? "" : rest.substr(slash + 1)};
  while (!address.prefix.empty() && address.prefix.back() == '/') address.prefix.pop_back();
  const bool bucket_ok = address.bucket.size() >= 3 && address.bucket.size() <= 63 &&
                         std::all_of(address.bucket.begin(), address.bucket.end(), [](unsigned char c) {
                           return std::islower(c) || std::isdigit(c) || c == '-' || c == '.';
                         });
  if (!bucket_ok) {
    throw std::invalid_argument("'" + address.bucket + "' is no bucket name: 3 to 63 lower-case letters, digits, '-' and '.'");
  }
  return address;
}

std::string StoreAddress::key(const std::string& repo_id, const std::string& rel) const {
  return (prefix.empty() ? "" : prefix + "/") + repo_id + "/" + rel;
}

std::string StoreAddress::internal_key(const std::string& rel) const {
  return (prefix.empty() ? "" : prefix + "/") + ".tessaline/" + rel;
}

std::string StoreAddress::url() const { return "s3://" + bucket + (prefix.empty() ? "" : "/" + prefix); }

DatasetPublisher::DatasetPublisher(StoreAddress store, kit::s3::Endpoint endpoint,
                                   std::function<void(std::function<void()>)> serialised)
    : store_(std::move(store)), s3_(std::move(endpoint)), serialised_(std::move(serialised)) {
  retry_thread_ = std::thread([this] { retry_loop(); });
}

DatasetPublisher::~DatasetPublisher() { stop(); }

void DatasetPublisher::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (retry_thread_.joinable()) retry_thread_.join();
}

void DatasetPublisher::publish(const std::string& repo_id, const fs::path& dataset) {
  {
    std::lock_guard lock(mutex_);
    Pending& p = pending_[repo_id];
    p.dataset = dataset;
    ++p.asked;
    if (p.due != std::chrono::steady_clock::time_point::max()) p.due = std::chrono::steady_clock::now();
    states_[repo_id] = "publishing";
  }
  wake_.notify_all();
}

std::map<std::string, std::string> DatasetPublisher::state(const std::string& repo_id) const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> out{{"store", store_.url()}};
  const auto s = states_.find(repo_id);
  out["state"] = s == states_.end() ? "published" : s->second;
  const auto p = pending_.find(repo_id);
  if (p != pending_.end() && !p->second.error.empty()) out["error"] = p->second.error;
  return out;
}

// Due publications go to the serialised thread, one run per dataset at a time.
void DatasetPublisher::retry_loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto next = std::chrono::steady_clock::time_point::max();
    const auto now = std::chrono::steady_clock::now();
    for (auto& [repo_id, p] : pending_) {
      if (p.due <= now) {
        p.due = std::chrono::steady_clock::time_point::max();
        serialised_([this, repo_id = repo_id, dataset = p.dataset] { run_now(repo_id, dataset); });
      } else {
        next = std::min(next, p.due);
      }
    }
    if (next == std::chrono::steady_clock::time_point::max()) wake_.wait(lock);
    else wake_.wait_until(lock, next);
  }
}

void DatasetPublisher::run_now(const std::string& repo_id, const fs::path& dataset) {
  long asked = 0;
  {
    std::lock_guard lock(mutex_);
    asked = pending_[repo_id].asked;
  }
  std::string error;
  try {
    upload_changes(repo_id, dataset, nullptr);
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::lock_guard lock(mutex_);
  Pending& p = pending_[repo_id];
  if (error.empty() && p.asked == asked) {
    pending_.erase(repo_id);
    states_[repo_id] = "published";
    std::printf("studio: %s published to s3://%s/%s\n", repo_id.c_str(), store_.bucket.c_str(), store_.key(repo_id, "").c_str());
    std::fflush(stdout);
  } else if (error.empty()) {
    p.due = std::chrono::steady_clock::now();  // changed meanwhile: once more
    p.pause = std::chrono::seconds(1);
    p.error.clear();
  } else {
    std::fprintf(stderr, "studio: publishing %s to s3://%s failed (trying again in %lld s): %s\n", repo_id.c_str(),
                 store_.bucket.c_str(), static_cast<long long>(p.pause.count()), error.c_str());
    p.error = error;
    p.due = std::chrono::steady_clock::now() + p.pause;
    p.pause = std::min(p.pause * 2, kLongestPause);
    states_[repo_id] = "waiting";
  }
  wake_.notify_all();
}

void DatasetPublisher::upload_changes(const std::string& repo_id, const fs::path& dataset, const HoldCheck* held) {
  if (!fs::exists(dataset)) return;
  PublishedRecord record(dataset);
  s3_.create_bucket(store_.bucket);

  // The dataset in the bucket must be the one this studio last published
  // (or the local one, when a run ended right after its info.json): another
  // studio appending to the same repository would have its files mixed
  // with ours.
  const std::string info = fs::exists(dataset / "meta/info.json") ? read_file(dataset / "meta/info.json") : "";
  if (const auto there = s3_.head(store_.bucket, store_.key(repo_id, "meta/info.json"))) {
    if (there->etag != record.info_etag && there->etag != kit::md5_hex(info)) {
      throw std::runtime_error("s3://" + store_.bucket + "/" + store_.key(repo_id, "") +
                               " holds a dataset this studio did not publish (another studio's, or changed since): "
                               "nothing was uploaded; this studio's copy stays in " + dataset.string());
    }
  }
  const std::vector<std::string> files = own_files(dataset);
  const std::set<std::string> present(files.begin(), files.end());
  std::vector<std::string> changed, gone;
  for (const auto& rel : files) {
    if (record.files.value(rel, "") != file_stamp(dataset / rel)) changed.push_back(rel);
  }
  for (const auto& [rel, _] : record.files.items()) {
    if (!present.count(rel)) gone.push_back(rel);
  }
  if (changed.empty() && gone.empty()) return;

  const bool journaled = held != nullptr;
  std::string id;
  nlohmann::json expected = nlohmann::json::object();
  // The store refusing a conditional write means another studio changed
  // the dataset since this one pulled it.
  auto fenced = [&](auto write) {
    (*held)();
    try {
      return write();
    } catch (const kit::s3::Error& e) {
      if (!e.precondition_failed()) throw;
      throw DatasetLost("s3://" + store_.bucket + "/" + store_.key(repo_id, "") +
                        " changed since this studio took it (another studio holds it now): nothing more was written");
    }
  };
  if (journaled) {
    id = kit::random_hex(8);
    nlohmann::json journal{{"id", id}, {"replaced", nlohmann::json::array()}, {"added", nlohmann::json::array()}, {"removed", gone}};
    for (const auto& rel : changed) {
      if (!record.files.contains(rel)) {
        journal["added"].push_back(rel);
        continue;
      }
      journal["replaced"].push_back(rel);
      std::string etag = record.etags.value(rel, "");
      if (etag.empty()) {  // a record from before ETags were kept: as the store has it now, right after the pull
        const auto there = s3_.head(store_.bucket, store_.key(repo_id, rel));
        etag = there ? there->etag : "";
      }
      expected[rel] = etag;
    }
    journal["expected"] = expected;
    if (std::find(changed.begin(), changed.end(), "meta/info.json") != changed.end()) journal["infoEtag"] = kit::md5_hex(info);
    fenced([&] { return s3_.put_if(store_.bucket, journal_key(store_, repo_id), journal.dump(), {.etag = "", .absent = true}, "application/json"); });
    for (const auto& rel : journal["replaced"]) {
      s3_.copy(store_.bucket, store_.key(repo_id, rel), undo_key(store_, repo_id, id, rel));
    }
    kit::stop_point("publish:journal");
  }
  for (const auto& rel : changed) {
    const std::string now = file_stamp(dataset / rel);
    const std::string key = store_.key(repo_id, rel);
    if (journaled) {
      // Bytes the object holds already are not written again: a rewrite
      // would give them back an ETag an earlier holder may still expect.
      const kit::s3::Precondition condition{expected.value(rel, ""), !expected.contains(rel)};
      if (condition.etag.empty() || !holds_bytes(condition.etag, kit::md5_file_hex(dataset / rel))) {
        record.etags[rel] = fenced([&] {
          kit::stop_point(("publish:checked:" + rel).c_str());  // where only the store can stop a studio that froze
          return s3_.put_file_if(store_.bucket, key, dataset / rel, condition);
        });
      }
    } else {
      record.etags[rel] = s3_.upload_file(store_.bucket, key, dataset / rel);
    }
    record.files[rel] = now;
    if (rel == "meta/info.json") record.info_etag = kit::md5_hex(info);
    record.save();
    kit::stop_point(rel == "meta/info.json" ? "publish:info" : "publish:first-object");
  }
  for (const auto& rel : gone) {
    if (journaled) (*held)();
    s3_.remove(store_.bucket, store_.key(repo_id, rel));
    record.files.erase(rel);
    record.etags.erase(rel);
    record.save();
  }
  if (journaled) {
    (*held)();
    const bool ours = s3_.head(store_.bucket, journal_key(store_, repo_id)) &&
                      nlohmann::json::parse(s3_.get(store_.bucket, journal_key(store_, repo_id)), nullptr, false).value("id", "") == id;
    if (!ours) {
      throw DatasetLost("the journal of " + repo_id + " in the store is another studio's now: it was left alone");
    }
    end_journal(s3_, store_, repo_id, id);
  }
}

void DatasetPublisher::publish_now(const std::string& repo_id, const fs::path& dataset, const HoldCheck& held) {
  upload_changes(repo_id, dataset, &held);
  std::lock_guard lock(mutex_);
  states_[repo_id] = "published";
}
void DatasetPublisher::pull(const std::string& repo_id, const fs::path& dataset, const fs::path& set_aside) {
  s3_.create_bucket(store_.bucket);
  settle_journal(s3_, store_, repo_id);
  mirror_dataset(s3_, store_, repo_id, dataset, set_aside, Videos::fetched);
}

}  // namespace studio
