#pragma once
// A change to a dataset (an export appending episodes, an episode deleted)
// is written aside in DATASET/.tessaline-export/ and switched in at the end:
// a list of the new files (COMMIT) is written, then each file is renamed
// into place, meta/info.json last. A change dropped before commit() leaves
// the dataset as it was; a crash after the list was written is finished by
// recover_dataset_changes at the next start. Folders the change consumes
// (an export's job, whose episodes must not go in twice) are removed as part
// of switching in, crash or not. One change per dataset at a time (the
// studio runs them on one thread).
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace studio {

class DatasetChange {
 public:
  explicit DatasetChange(std::filesystem::path dataset);  // clears what an earlier change left
  ~DatasetChange();                                         // not committed: everything aside is dropped
  DatasetChange(const DatasetChange&) = delete;
  DatasetChange& operator=(const DatasetChange&) = delete;

  // Where the new version of `rel` (a path inside the dataset) is written;
  // its folder exists. The file switches in at commit, in the order named.
  std::filesystem::path file(const std::string& rel);
  void write(const std::string& rel, std::string_view bytes);  // file() + an atomic write
  // Removed once the files are in, before the change counts as done.
  void consume(const std::filesystem::path& dir);
  // A file of the dataset (`rel` inside it) that goes, likewise.
  void remove(const std::string& rel) { consume(dataset_ / rel); }

  void commit();

 private:
  std::filesystem::path dataset_, work_;
  std::vector<std::string> files_;
  std::vector<std::filesystem::path> consumed_;
  bool committed_ = false;
};

std::string read_file(const std::filesystem::path& path);  // throws with the OS's reason

// At start-up, for every dataset under DATA/datasets.
void recover_dataset_changes(const std::filesystem::path& data_dir);
// One dataset's change that a killed program left: finished when it was
// switching in, dropped when it was still being written. Taking the
// datasets lock does it, so every change begins from a whole dataset: a
// command killed mid-change never leaves the next one a half-switched one.
void finish_cut_off_change(const std::filesystem::path& dataset);

}  // namespace studio
