#include "studio/episode_deletion.hpp"

#include <functional>
#include <map>
#include <span>

#include "kit/parquet/reader.hpp"
#include "studio/dataset_change.hpp"
#include "studio/dataset_files.hpp"
#include "studio/dataset_library.hpp"
#include "studio/dataset_stats.hpp"
#include "studio/exporter.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using kit::parquet::ColumnValues;
using kit::parquet::Physical;

namespace {

// How the rows after the deleted episode change: a column's new value.
struct Shift {
  std::function<int64_t(const std::string& column, int64_t)> integer;
  std::function<double(const std::string& column, double)> real;
};

const Shift kUnchanged{[](const std::string&, int64_t v) { return v; }, [](const std::string&, double v) { return v; }};

// Copies row `r` of every column into `w`, shifted.
void copy_row(const std::vector<ColumnValues>& columns, size_t r, kit::parquet::Writer& w, const Shift& shift) {
  for (size_t c = 0; c < columns.size(); ++c) {
    const ColumnValues& col = columns[c];
    const size_t from = col.row_start[r], to = col.row_start[r + 1];
    if (col.spec.list_depth == 0) {
      switch (col.spec.type) {
        case Physical::INT64: w.add(c, shift.integer(col.spec.name, col.ints[r])); break;
        case Physical::FLOAT: w.add(c, static_cast<float>(col.reals[r])); break;
        case Physical::DOUBLE: w.add(c, shift.real(col.spec.name, col.reals[r])); break;
        case Physical::STRING: w.add(c, std::string_view(col.strings[r])); break;
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
        for (auto& v : values) v = shift.real(col.spec.name, v);
        w.add_list(c, std::span<const double>(values), shape);
        break;
      }
      case Physical::STRING:
        w.add_list(c, std::span<const std::string>(col.strings).subspan(from, to - from), shape);
        break;
    }
  }
}

// Rewrites one table without the episode's rows, shifting what follows;
// nothing is written when no row is at or after the episode.
void rewrite_table(const fs::path& path, const std::string& rel, long episode, DatasetChange& change, const Shift& shift,
                   const std::function<void(const std::vector<ColumnValues>&, size_t, const Shift&)>& kept = {}) {
  const kit::parquet::Reader reader(read_file(path));
  std::vector<std::vector<ColumnValues>> groups;
  bool touched = false;
  for (size_t g = 0; g < reader.row_groups(); ++g) {
    std::vector<ColumnValues> columns;
    for (size_t c = 0; c < reader.schema().size(); ++c) columns.push_back(reader.column(g, c));
    for (const auto e : reader.column(g, "episode_index").ints) touched = touched || e >= episode;
    groups.push_back(std::move(columns));
  }
  size_t episode_column = 0;
  while (reader.schema()[episode_column].name != "episode_index") ++episode_column;
  kit::parquet::Writer w(reader.schema(), reader.key_values(), kTableCompression);
  for (const auto& columns : groups) {
    const ColumnValues& episodes = columns[episode_column];
    for (size_t r = 0; r < episodes.rows(); ++r) {
      const int64_t e = episodes.ints[r];
      if (e == episode) continue;
      const Shift& applied = e > episode ? shift : kUnchanged;
      copy_row(columns, r, w, applied);
      w.end_row();
      if (kept) kept(columns, r, applied);
    }
    w.end_row_group();
  }
  if (touched) change.write(rel, w.finish());
}

// One episode's statistics of `feature` from its row of the episodes
// table, shifted as the row is.
FeatureStats episode_stats(const std::vector<ColumnValues>& columns, size_t r, const std::string& feature, const Shift& shift) {
  FeatureStats s;
  auto values = [&](const std::string& what) -> std::vector<double> {
    for (const auto& c : columns) {
      if (c.spec.name == "stats/" + feature + "/" + what) {
        if (s.shape.empty()) s.shape = c.shapes[r];
        std::vector<double> out(c.reals.begin() + static_cast<long>(c.row_start[r]),
                                c.reals.begin() + static_cast<long>(c.row_start[r + 1]));
        for (auto& v : out) v = shift.real(c.spec.name, v);
        return out;
      }
    }
    throw std::runtime_error("the episodes table has no stats/" + feature + "/" + what);
  };
  s.min = values("min");
  s.max = values("max");
  s.mean = values("mean");
  s.std = values("std");
  for (size_t q = 0; q < kQuantileNames.size(); ++q) s.quantiles[q] = values(kQuantileNames[q]);
  for (const auto& c : columns) {
    if (c.spec.name == "stats/" + feature + "/count") s.count = c.ints.at(c.row_start[r]);
  }
  if (s.shape.size() == 3 || s.shape.size() == 1) return s;
  throw std::runtime_error("stats/" + feature + " has an unexpected shape");
}

}  // namespace

DeletedEpisode delete_episode(const fs::path& data_dir, const std::string& repo_id, long episode) {
  const fs::path dataset = dataset_dir(data_dir, repo_id);
  if (!fs::exists(dataset / "meta" / "info.json")) throw DatasetNotFound("no dataset " + repo_id);
  Json info = Json::parse(read_file(dataset / "meta" / "info.json"));
  const long total = info.at("total_episodes").get<long>();
  if (episode < 0 || episode >= total) throw DatasetNotFound("no episode " + std::to_string(episode) + " in " + repo_id);
  if (total == 1) throw LastEpisode("episode " + std::to_string(episode) + " is the dataset's only episode");

  // Its length, from the episodes table.
  long length = -1;
  for (const auto& file : table_files(dataset / "meta" / "episodes")) {
    const kit::parquet::Reader reader(read_file(file));
    for (size_t g = 0; g < reader.row_groups() && length < 0; ++g) {
      const auto index = reader.column(g, "episode_index"), lengths = reader.column(g, "length");
      for (size_t r = 0; r < index.rows(); ++r) {
        if (index.ints[r] == episode) length = lengths.ints[r];
      }
    }
  }
  if (length < 0) throw DatasetNotFound("episode " + std::to_string(episode) + " is not in the episodes table");

  DatasetChange change(dataset);
  const auto rel = [&](const fs::path& p) { return fs::relative(p, dataset).string(); };
  for (const auto& file : table_files(dataset / "data")) {
    rewrite_table(file, rel(file), episode, change,
                  {[&](const std::string& name, int64_t v) {
                     if (name == "episode_index") return v - 1;
                     if (name == "index") return v - length;
                     return v;
                   },
                   [](const std::string&, double v) { return v; }});
  }
  std::map<std::string, std::vector<FeatureStats>> parts;
  const auto keep_stats = [&](const std::vector<ColumnValues>& columns, size_t r, const Shift& applied) {
    for (const auto& c : columns) {
      const std::string& name = c.spec.name;
      if (name.starts_with("stats/") && name.ends_with("/min")) {
        const std::string feature = name.substr(6, name.size() - 10);
        parts[feature].push_back(episode_stats(columns, r, feature, applied));
      }
    }
  };
  for (const auto& file : table_files(dataset / "meta" / "episodes")) {
    // Every episodes file is read for the statistics; only touched ones are rewritten.
    rewrite_table(file, rel(file), episode, change,
                  {[&](const std::string& name, int64_t v) {
                     if (name == "episode_index") return v - 1;
                     if (name == "dataset_from_index" || name == "dataset_to_index") return v - length;
                     return v;
                   },
                   // The episode's own statistics of its indices move with them (not the spread).
                   [&](const std::string& name, double v) {
                     if (name.ends_with("/std")) return v;
                     if (name.starts_with("stats/episode_index/")) return v - 1;
                     if (name.starts_with("stats/index/")) return v - static_cast<double>(length);
                     return v;
                   }},
                  keep_stats);
  }
  Json stats = Json::object();
  for (const auto& [feature, list] : parts) stats[feature] = to_json(merge(list));
  change.write("meta/stats.json", stats.dump(4));

  info["total_episodes"] = total - 1;
  info["total_frames"] = info.at("total_frames").get<long>() - length;
  info["splits"] = {{"train", "0:" + std::to_string(total - 1)}};
  change.write("meta/info.json", info.dump(4));
  change.commit();
  return {length, total - 1};
}

}  // namespace studio
