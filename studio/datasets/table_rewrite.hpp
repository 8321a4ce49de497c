#pragma once
// Rewriting a dataset's tables without one episode's rows (or with all of
// them): each kept row copied, its values shifted (episode and frame numbers
// moving down, tasks renumbered or renamed), and the statistics a row of the
// episodes table holds read back. Used by deletion and task renaming; a
// table nothing changes in is not written again.
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kit/parquet/reader.hpp"
#include "kit/parquet/writer.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_stats.hpp"

namespace studio {

// One row of a table, as a shift sees it.
struct Row {
  const std::vector<kit::parquet::ColumnValues>& columns;
  size_t r;
  int64_t integer(const std::string& name) const;
};

// How a kept row changes: a column's new value (text stays as it is without `text`).
struct Shift {
  std::function<int64_t(const Row&, const std::string& column, int64_t)> integer;
  std::function<double(const Row&, const std::string& column, double)> real;
  std::function<std::string(const Row&, const std::string& column, const std::string&)> text;
};

// A whole Parquet table file, every row group read.
struct Table {
  std::filesystem::path path;
  std::vector<kit::parquet::ColumnSpec> schema;
  std::vector<std::pair<std::string, std::string>> key_values;
  std::vector<std::vector<kit::parquet::ColumnValues>> groups;
};

Table read_table(const std::filesystem::path& path);
const kit::parquet::ColumnValues& column_of(const std::vector<kit::parquet::ColumnValues>& columns, const std::string& name);

using KeptRow = std::function<void(const std::vector<kit::parquet::ColumnValues>&, size_t, const Shift&)>;

// Writes the table again without the episode's rows, shifted, when any of
// its rows `changes`; a table left without rows goes. `kept` sees each kept row.
void rewrite_table(const Table& table, const std::string& rel, long episode, DatasetChange& change,
                   const std::function<bool(const Row&)>& changes, const Shift& shift, const KeptRow& kept = {});

// One episode's statistics of `feature` from its row of the episodes
// table, shifted as the row is.
FeatureStats episode_stats(const std::vector<kit::parquet::ColumnValues>& columns, size_t r, const std::string& feature,
                           const Shift& shift);

}  // namespace studio
