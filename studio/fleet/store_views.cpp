#include "studio/fleet/store_views.hpp"

#include <cstdio>
#include <set>

#include "studio/fleet/dataset_mirror.hpp"
#include "studio/datasets/exporter.hpp"

namespace studio {
namespace fs = std::filesystem;

StoreViews::StoreViews(StoreAddress store, kit::s3::Endpoint endpoint, fs::path view_dir)
    : store_(std::move(store)), view_dir_(std::move(view_dir)), s3_(std::move(endpoint)) {}

void StoreViews::refresh_all() {
  std::lock_guard lock(mutex_);
  try {
    s3_.create_bucket(store_.bucket);
    const StoreContents contents = store_contents(s3_, store_);
    std::set<fs::path> kept;
    for (const auto& [repo, objects] : contents.datasets) {
      refresh_locked(repo, contents.journaled.count(repo) > 0, objects);
      kept.insert(dataset_dir(view_dir_, repo));
    }
    const fs::path root = view_dir_ / "datasets";
    if (!fs::exists(root)) return;
    for (const auto& e : fs::directory_iterator(root)) {
      if (e.is_directory() && !kept.count(e.path())) fs::remove_all(e.path());
    }
    last_error_.clear();
  } catch (const std::exception& e) {
    failed(e);
  }
}

void StoreViews::refresh(const std::string& repo_id) {
  std::lock_guard lock(mutex_);
  try {
    s3_.create_bucket(store_.bucket);
    refresh_locked(repo_id, has_journal(s3_, store_, repo_id), s3_.list(store_.bucket, store_.key(repo_id, "")));
    last_error_.clear();
  } catch (const std::exception& e) {
    failed(e);
  }
}

std::string StoreViews::last_error() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

void StoreViews::failed(const std::exception& e) {
  if (e.what() == last_error_) return;
  last_error_ = e.what();
  std::fprintf(stderr, "studio: the viewer shows its last copies of the store's datasets: %s\n", e.what());
}

void StoreViews::refresh_locked(const std::string& repo_id, bool journaled, const std::vector<kit::s3::ObjectInfo>& objects) {
  const fs::path copy = dataset_dir(view_dir_, repo_id);
  // A studio is publishing it right now: the copy stays as it was until it is done.
  if (fs::exists(copy) && journaled) return;
  mirror_dataset(s3_, store_, repo_id, copy, view_dir_ / "set-aside", Videos::by_reference, objects);
  if (fs::exists(copy) && !fs::exists(copy / "meta" / "info.json")) fs::remove_all(copy);
}

std::optional<uint64_t> StoreViews::in_store_only(const fs::path& dataset, const std::string& rel) const {
  const PublishedRecord record(dataset);
  if (record.fetched(rel)) return std::nullopt;
  return fs::file_size(dataset / rel);
}

StoreViews::RangeReader StoreViews::range_reader(const std::string& repo_id, const std::string& rel) const {
  auto s3 = std::make_shared<kit::s3::Client>(s3_.endpoint());  // set once: read without the lock
  return [s3, bucket = store_.bucket, key = store_.key(repo_id, rel)](uint64_t offset, uint64_t length) {
    return s3->get(bucket, key, kit::s3::Range{offset, offset + length - 1});
  };
}

}  // namespace studio
