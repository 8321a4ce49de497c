#include "studio/datasets/table_rewrite.hpp"

#include <span>

#include "studio/datasets/dataset_files.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::parquet::ColumnValues;
using kit::parquet::Physical;

int64_t Row::integer(const std::string& name) const {
  for (const auto& c : columns) {
    if (c.spec.name == name) return c.ints.at(c.row_start[r]);
  }
  throw std::runtime_error("no column " + name);
}

namespace {

// Copies row `r` of every column into `w`, shifted.
void copy_row(const std::vector<ColumnValues>& columns, size_t r, kit::parquet::Writer& w, const Shift& shift) {
  const Row row{columns, r};
  for (size_t c = 0; c < columns.size(); ++c) {
    const ColumnValues& col = columns[c];
    const size_t from = col.row_start[r], to = col.row_start[r + 1];
    if (col.spec.list_depth == 0) {
      switch (col.spec.type) {
        case Physical::INT64: w.add(c, shift.integer(row, col.spec.name, col.ints[from])); break;
        case Physical::FLOAT: w.add(c, static_cast<float>(col.reals[from])); break;
        case Physical::DOUBLE: w.add(c, shift.real(row, col.spec.name, col.reals[from])); break;
        case Physical::STRING:
          if (shift.text) w.add(c, std::string_view(shift.text(row, col.spec.name, col.strings[from])));
          else w.add(c, std::string_view(col.strings[from]));
          break;
      }
      continue;
    }
    const std::vector<size_t>& shape = col.shapes[r];
    if (shape.empty()) throw std::runtime_error("column " + col.spec.name + " holds lists of uneven shape");
    switch (col.spec.type) {
      case Physical::INT64:
        w.add_list(c, std::span<const int64_t>(col.ints).subspan(from, to - from), shape);
        break;
      case Physical::FLOAT: {
        const std::vector<float> values(col.reals.begin() + static_cast<long>(from), col.reals.begin() + static_cast<long>(to));
        w.add_list(c, std::span<const float>(values), shape);
        break;
      }
      case Physical::DOUBLE: {
        std::vector<double> values(col.reals.begin() + static_cast<long>(from), col.reals.begin() + static_cast<long>(to));
        for (auto& v : values) v = shift.real(row, col.spec.name, v);
        w.add_list(c, std::span<const double>(values), shape);
        break;
      }
      case Physical::STRING: {
        std::vector<std::string> values(col.strings.begin() + static_cast<long>(from), col.strings.begin() + static_cast<long>(to));
        if (shift.text) {
          for (auto& v : values) v = shift.text(row, col.spec.name, v);
        }
        w.add_list(c, std::span<const std::string>(values), shape);
        break;
      }
    }
  }
}

}  // namespace

Table read_table(const fs::path& path) {
  const kit::parquet::Reader reader(read_file(path));
  Table t{path, reader.schema(), reader.key_values(), {}};
  for (size_t g = 0; g < reader.row_groups(); ++g) {
    std::vector<ColumnValues> columns;
    for (size_t c = 0; c < reader.schema().size(); ++c) columns.push_back(reader.column(g, c));
    t.groups.push_back(std::move(columns));
  }
  return t;
}

const ColumnValues& column_of(const std::vector<ColumnValues>& columns, const std::string& name) {
  for (const auto& c : columns) {
    if (c.spec.name == name) return c;
  }
  throw std::runtime_error("no column " + name);
}

void rewrite_table(const Table& table, const std::string& rel, long episode, DatasetChange& change,
                   const std::function<bool(const Row&)>& changes, const Shift& shift, const KeptRow& kept) {
  bool touched = false;
  size_t rows = 0;
  kit::parquet::Writer w(table.schema, table.key_values, kTableCompression);
  for (const auto& columns : table.groups) {
    const ColumnValues& episodes = column_of(columns, "episode_index");
    for (size_t r = 0; r < episodes.rows(); ++r) {
      if (episodes.ints[episodes.row_start[r]] == episode) {
        touched = true;
        continue;
      }
      touched = touched || changes(Row{columns, r});
      copy_row(columns, r, w, shift);
      w.end_row();
      ++rows;
      if (kept) kept(columns, r, shift);
    }
    if (w.rows_in_group() > 0) w.end_row_group();
  }
  if (!touched) return;
  if (rows == 0) change.remove(rel);
  else change.write(rel, w.finish());
}

FeatureStats episode_stats(const std::vector<ColumnValues>& columns, size_t r, const std::string& feature, const Shift& shift) {
  FeatureStats s;
  const Row row{columns, r};
  auto values = [&](const std::string& what) -> std::vector<double> {
    const ColumnValues& c = column_of(columns, "stats/" + feature + "/" + what);
    if (s.shape.empty()) s.shape = c.shapes[r];
    std::vector<double> out(c.reals.begin() + static_cast<long>(c.row_start[r]), c.reals.begin() + static_cast<long>(c.row_start[r + 1]));
    for (auto& v : out) v = shift.real(row, c.spec.name, v);
    return out;
  };
  s.min = values("min");
  s.max = values("max");
  s.mean = values("mean");
  s.std = values("std");
  for (size_t q = 0; q < kQuantileNames.size(); ++q) s.quantiles[q] = values(kQuantileNames[q]);
  const ColumnValues& count = column_of(columns, "stats/" + feature + "/count");
  s.count = count.ints.at(count.row_start[r]);
  if (s.shape.size() == 3 || s.shape.size() == 1) return s;
  throw std::runtime_error("stats/" + feature + " has an unexpected shape");
}

}  // namespace studio
