#include "studio/datasets/dataset_tasks.hpp"

#include <algorithm>
#include <stdexcept>

#include "kit/parquet/reader.hpp"
#include "kit/parquet/writer.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using kit::parquet::Physical;

std::vector<std::string> read_tasks(const fs::path& dataset, const Json& sidecar) {
  const fs::path file = dataset / "meta" / "tasks.parquet";
  if (!fs::exists(file)) return sidecar.value("tasks", std::vector<std::string>{});
  const kit::parquet::Reader reader(read_file(file));
  std::vector<std::pair<int64_t, std::string>> rows;
  for (size_t g = 0; g < reader.row_groups(); ++g) {
    const auto index = reader.column(g, "task_index");
    const auto text = reader.column(g, "task");
    if (!index.null_rows.empty() || !text.null_rows.empty() || index.ints.size() != text.strings.size()) {
      throw std::runtime_error("meta/tasks.parquet has empty task rows");
    }
    for (size_t r = 0; r < index.ints.size(); ++r) rows.emplace_back(index.ints[r], text.strings[r]);
  }
  std::sort(rows.begin(), rows.end());
  std::vector<std::string> tasks;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].first != static_cast<int64_t>(i)) {
      throw std::runtime_error("meta/tasks.parquet does not number its tasks 0, 1, 2, ...: readers find a task by its row");
    }
    tasks.push_back(rows[i].second);
  }
  return tasks;
}

std::string tasks_table(const std::vector<std::string>& tasks) {
  const Json pandas{{"index_columns", {"task"}},
                    {"column_indexes", Json::array()},
                    {"columns",
                     {{{"name", "task_index"}, {"field_name", "task_index"}, {"pandas_type", "int64"}, {"numpy_type", "int64"}, {"metadata", nullptr}},
                      {{"name", "task"}, {"field_name", "task"}, {"pandas_type", "unicode"}, {"numpy_type", "object"}, {"metadata", nullptr}}}},
                    {"creator", {{"library", "tessaline"}, {"version", "1"}}},
                    {"pandas_version", "1.5.3"}};
  kit::parquet::Writer file({{"task_index", Physical::INT64}, {"task", Physical::STRING}}, {{"pandas", kit::json::to_wire(pandas)}},
                            kTableCompression);
  for (size_t t = 0; t < tasks.size(); ++t) {
    file.add(0, static_cast<int64_t>(t));
    file.add(1, std::string_view(tasks[t]));
    file.end_row();
  }
  return file.finish();
}

}  // namespace studio
