#pragma once
// What the dataset viewer shows of a fleet's datasets, which live in the
// bucket: a copy of each under DATA/view/datasets, brought up to the
// bucket's whenever the viewer asks (only what changed is fetched), with
// every video standing in as a sparse file of its size and read from the
// bucket by range as it plays. Thread-safe.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "kit/s3/client.hpp"
#include "studio/fleet/dataset_publisher.hpp"

namespace studio {

class StoreViews {
 public:
  StoreViews(StoreAddress store, kit::s3::Endpoint endpoint, std::filesystem::path view_dir);

  // DATA/view: the viewer's catalog is made on it.
  const std::filesystem::path& view_dir() const { return view_dir_; }

  // Every dataset in the bucket, and no other, in the copy.
  void refresh_all();
  // One dataset; when it is not in the bucket (any more), its copy goes.
  void refresh(const std::string& repo_id);
  // Neither throws: while the store cannot be reached the copies stay as
  // they were (said once on stderr), and the viewer shows them.
  // Why the last refresh failed ("" when it did not): for the viewer to say.
  std::string last_error() const;

  // The size of `rel` of the copy at `dataset` when it is only in the bucket.
  std::optional<uint64_t> in_store_only(const std::filesystem::path& dataset, const std::string& rel) const;
  // Reads [offset, offset + length) of the dataset's file from the bucket,
  // on a connection of the caller's own (a video plays beside other requests).
  using RangeReader = std::function<std::string(uint64_t offset, uint64_t length)>;
  RangeReader range_reader(const std::string& repo_id, const std::string& rel) const;

 private:
  void refresh_locked(const std::string& repo_id, bool journaled, const std::vector<kit::s3::ObjectInfo>& objects);
  void failed(const std::exception& e);  // under mutex_

  StoreAddress store_;
  std::filesystem::path view_dir_;
  mutable std::mutex mutex_;  // one refresh at a time; guards s3_
  kit::s3::Client s3_;  // guarded by mutex_
  std::string last_error_;  // guarded by mutex_
};

}  // namespace studio
