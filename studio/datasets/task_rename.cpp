#include "studio/datasets/task_rename.hpp"

#include <algorithm>
#include <stdexcept>

#include "kit/json/text.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/dataset_tasks.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/datasets/table_rewrite.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

long rename_task(const fs::path& dataset, const std::string& from, const std::string& to, const std::function<void()>& on_wait) {
  if (to.empty() || to.size() > 1000) throw std::invalid_argument("a task is 1 to 1000 characters of text");
  const DatasetsLock lock(dataset, on_wait);
  const fs::path sidecar_file = dataset / "meta" / "tessaline.json";
  Json sidecar = fs::exists(sidecar_file) ? Json::parse(read_file(sidecar_file)) : Json::object();
  std::vector<std::string> tasks = read_tasks(dataset, sidecar);
  const auto it = std::find(tasks.begin(), tasks.end(), from);
  if (it == tasks.end()) throw std::invalid_argument("the dataset has no task \"" + from + "\"; its tasks: " + Json(tasks).dump());
  if (std::find(tasks.begin(), tasks.end(), to) != tasks.end()) {
    throw std::invalid_argument("the dataset already has a task \"" + to + "\": two tasks of one text cannot be told apart");
  }
  *it = to;

  DatasetChange change(dataset);
  long episodes = 0;
  const Shift renamed{[](const Row&, const std::string&, int64_t v) { return v; },
                      [](const Row&, const std::string&, double v) { return v; },
                      [&](const Row&, const std::string& column, const std::string& v) {
                        if (column != "tasks" || v != from) return v;
                        ++episodes;  // an episode lists a task once
                        return to;
                      }};
  for (const auto& file : table_files(dataset / "meta" / "episodes")) {
    const Table table = read_table(file);
    rewrite_table(table, file.lexically_relative(dataset).generic_string(), -1, change,
                  [&](const Row& row) {
                    const auto& list = column_of(row.columns, "tasks");
                    const auto begin = list.strings.begin() + static_cast<long>(list.row_start[row.r]);
                    const auto end = list.strings.begin() + static_cast<long>(list.row_start[row.r + 1]);
                    return std::find(begin, end, from) != end;
                  },
                  renamed);
  }
  change.write("meta/tasks.parquet", tasks_table(tasks));
  if (sidecar.contains("tasks")) {
    sidecar["tasks"] = tasks;
    change.write("meta/tessaline.json", kit::json::to_file(sidecar));
  }
  change.commit();
  return episodes;
}

}  // namespace studio
