#pragma once
// Renaming one of a dataset's tasks: meta/tasks.parquet, the task lists of
// the episodes table and the studio's own note of the tasks; the numbering,
// the data and the statistics stay as they are. Written aside and switched
// in at once, one change per datasets folder at a time.
#include <filesystem>
#include <functional>
#include <string>

namespace studio {

// Throws std::invalid_argument for a task the dataset does not have, an
// empty or over-long new text, or one another task already has (two tasks
// of one text cannot be told apart). Returns the episodes whose task list changed.
long rename_task(const std::filesystem::path& dataset, const std::string& from, const std::string& to,
                 const std::function<void()>& on_wait = {});

}  // namespace studio
