#pragma once
// Turns an export job (staged episodes of one user) into a dataset directory
// under DATA/datasets/<repository id>. A second export to the same
// repository appends its episodes. The layout is described in docs/usage.md.
#include <filesystem>
#include <optional>
#include <string>

#include "kit/json/text.hpp"
#include "studio/frame_store.hpp"

namespace studio {

struct ExportRequest {
  std::string user_id;
  std::string repo_id;
  std::optional<std::string> robot_type;
  std::optional<double> fps;
};

struct ExportResult {
  std::filesystem::path dataset_dir;
  long episodes_added = 0;
  long frames_added = 0;
};

// Path the dataset of `repo_id` goes to.
std::filesystem::path dataset_dir(const std::filesystem::path& data_dir, const std::string& repo_id);

// Writes the job's episodes into the dataset, then removes the job directory.
ExportResult export_dataset(const ExportJob& job, const std::filesystem::path& data_dir,
                            const ExportRequest& request);

}  // namespace studio
