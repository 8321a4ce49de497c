#pragma once
// Where the datasets a studio shows are: its own, under
// DATA/datasets/<escaped repository id>, and — read-only — any v3.0
// dataset under other folders it was given, such as the one the field's
// tools cache datasets in (<root>/<org>/<name>/meta/info.json). An own
// dataset wins over another of the same repository id.
#include <filesystem>
#include <string>
#include <vector>

namespace studio {

struct DatasetEntry {
  std::string repo_id;
  std::filesystem::path path;
  bool read_only = false;  // found under another folder: recorded by another tool
};

class DatasetCatalog {
 public:
  explicit DatasetCatalog(std::filesystem::path data_dir, std::vector<std::filesystem::path> other_roots = {});

  std::vector<DatasetEntry> all() const;
  // Throws DatasetNotFound.
  DatasetEntry find(const std::string& repo_id) const;
  const std::filesystem::path& data_dir() const { return data_dir_; }

 private:
  std::vector<DatasetEntry> others() const;

  std::filesystem::path data_dir_;
  std::vector<std::filesystem::path> other_roots_;
};

// The repository id an own dataset folder was made for (its sidecar's, else its unescaped name).
std::string repo_id_of(const std::filesystem::path& dataset);

}  // namespace studio
