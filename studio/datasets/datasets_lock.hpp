#pragma once
// Changes to the datasets of one folder happen one at a time, across
// processes too: the studio's exports, deletes and recovery, and
// `tessaline dataset delete` on the same folder. An exclusive flock on the
// folder holding the dataset, from before the dataset is read until its
// change is in; released when this goes. Taken, it first finishes (or
// drops) a change to the dataset that a killed program left.
#include <filesystem>
#include <functional>

namespace studio {

class DatasetsLock {
 public:
  // `on_wait` runs once when another holds the lock, before waiting for it.
  explicit DatasetsLock(const std::filesystem::path& dataset, const std::function<void()>& on_wait = {});
  ~DatasetsLock();
  DatasetsLock(const DatasetsLock&) = delete;
  DatasetsLock& operator=(const DatasetsLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace studio
