#include "studio/datasets/dataset_change.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "kit/files/atomic_file.hpp"
#include "studio/datasets/datasets_lock.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace {

constexpr const char* kWorkDir = ".tessaline-export";  // beside meta/, data/, videos/
constexpr const char* kCommitList = "COMMIT";
constexpr const char* kConsumedList = "CONSUMED";  // folders, relative to the dataset

// Moves every file the work directory lists into the dataset, in order,
// removes the folders the change consumed, then drops the work directory.
// Each step may be repeated after a crash.
void switch_in(const fs::path& dataset) {
  const fs::path work = dataset / kWorkDir;
  std::istringstream list(read_file(work / kCommitList));
  for (std::string rel; std::getline(list, rel);) {
    if (rel.empty() || !fs::exists(work / rel)) continue;  // moved before a crash
    fs::create_directories((dataset / rel).parent_path());
    fs::rename(work / rel, dataset / rel);
  }
  if (fs::exists(work / kConsumedList)) {
    std::istringstream consumed(read_file(work / kConsumedList));
    for (std::string rel; std::getline(consumed, rel);) {
      if (!rel.empty()) fs::remove_all(dataset / rel);
    }
  }
  fs::remove_all(work);
}

}  // namespace

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
  return {std::istreambuf_iterator<char>(in), {}};
}

DatasetChange::DatasetChange(fs::path dataset) : dataset_(std::move(dataset)), work_(dataset_ / kWorkDir) {
  fs::remove_all(work_);
  fs::create_directories(work_);
}

DatasetChange::~DatasetChange() {
  if (committed_) return;
  std::error_code ignored;
  if (!fs::exists(work_ / kCommitList, ignored)) fs::remove_all(work_, ignored);
}

fs::path DatasetChange::file(const std::string& rel) {
  const fs::path path = work_ / rel;
  fs::create_directories(path.parent_path());
  if (std::find(files_.begin(), files_.end(), rel) == files_.end()) files_.push_back(rel);
  return path;
}

void DatasetChange::write(const std::string& rel, std::string_view bytes) { kit::files::write_atomically(file(rel), bytes); }

void DatasetChange::consume(const fs::path& dir) { consumed_.push_back(dir); }

void DatasetChange::commit() {
  if (!consumed_.empty()) {
    std::string consumed;
    for (const auto& dir : consumed_) consumed += fs::absolute(dir).lexically_relative(fs::absolute(dataset_)).string() + "\n";
    kit::files::write_atomically(work_ / kConsumedList, consumed);
  }
  std::string list;
  // meta/info.json says what the dataset holds: it goes last.
  std::stable_partition(files_.begin(), files_.end(), [](const std::string& rel) { return rel != "meta/info.json"; });
  for (const auto& rel : files_) list += rel + "\n";
  kit::files::write_atomically(work_ / kCommitList, list);  // from here on the change finishes, even after a crash
  committed_ = true;
  switch_in(dataset_);
}

void recover_dataset_changes(const fs::path& data_dir) {
  const fs::path datasets = data_dir / "datasets";
  if (!fs::exists(datasets)) return;
  const DatasetsLock lock(datasets / "any");  // a change another program has under way finishes first
  for (const auto& d : fs::directory_iterator(datasets)) finish_cut_off_change(d.path());
}

void finish_cut_off_change(const fs::path& dataset) {
  const fs::path work = dataset / kWorkDir;
  if (!fs::exists(work)) return;
  if (fs::exists(work / kCommitList)) switch_in(dataset);  // everything was written: finish
  else fs::remove_all(work);                                // half-written: as if never begun
}

}  // namespace studio
