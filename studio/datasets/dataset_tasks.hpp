#pragma once
// A dataset's tasks: meta/tasks.parquet is the truth for their numbering
// (the field's readers take task_index as a row of it, and its writers add
// tasks there only); our sidecar's copy (meta/tessaline.json) serves only
// where there is no such file.
#include <filesystem>
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

// By index. Throws std::runtime_error for a table that does not number its
// tasks 0, 1, 2, ... or has empty rows.
std::vector<std::string> read_tasks(const std::filesystem::path& dataset, const kit::json::Json& sidecar);

// The bytes of meta/tasks.parquet for these tasks: a pandas frame indexed
// by the task's text, as the field's writers make it.
std::string tasks_table(const std::vector<std::string>& tasks);

}  // namespace studio
