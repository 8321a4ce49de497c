#include "studio/episode_deletion.hpp"

#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <thread>

#include "kit/parquet/reader.hpp"
#include "kit/video/mp4_reader.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/dataset_change.hpp"
#include "studio/dataset_files.hpp"
#include "studio/dataset_library.hpp"
#include "studio/dataset_stats.hpp"
#include "studio/dataset_tasks.hpp"
#include "studio/exporter.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using kit::parquet::ColumnValues;
using kit::parquet::Physical;

namespace {

// One row of a table, as a shift sees it.
struct Row {
  const std::vector<ColumnValues>& columns;
  size_t r;
  int64_t integer(const std::string& name) const {
    for (const auto& c : columns) {
      if (c.spec.name == name) return c.ints.at(c.row_start[r]);
    }
    throw std::runtime_error("no column " + name);
  }
};

// How a kept row changes: a column's new value.
struct Shift {
  std::function<int64_t(const Row&, const std::string& column, int64_t)> integer;
  std::function<double(const Row&, const std::string& column, double)> real;
};

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
        case Physical::STRING: w.add(c, std::string_view(col.strings[from])); break;
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
      case Physical::STRING:
        w.add_list(c, std::span<const std::string>(col.strings).subspan(from, to - from), shape);
        break;
    }
  }
}

struct Table {
  fs::path path;
  std::vector<kit::parquet::ColumnSpec> schema;
  std::vector<std::pair<std::string, std::string>> key_values;
  std::vector<std::vector<ColumnValues>> groups;
};

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

// Writes the table again without the episode's rows, shifted, when any of
// its rows changes; a table left without rows goes.
void rewrite_table(const Table& table, const std::string& rel, long episode, DatasetChange& change,
                   const std::function<bool(const Row&)>& changes, const Shift& shift,
                   const std::function<void(const std::vector<ColumnValues>&, size_t, const Shift&)>& kept = {}) {
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

// One episode's statistics of `feature` from its row of the episodes
// table, shifted as the row is.
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

// Where the deleted episode's frames are in one camera's video.
struct VideoPlace {
  long chunk, file;
  double from;
};

// A camera's video file again without frames [skip, skip + count): decoded
// and encoded with the dataset's own settings, so every remaining episode's
// frames sit where the tables say.
void rewrite_video(const fs::path& from, const fs::path& to, long skip, long count, const Json& feature_info, int fps) {
  kit::video::Mp4Reader reader(from);
  kit::video::VideoOptions options;
  options.width = reader.width();
  options.height = reader.height();
  options.fps = fps;
  options.codec = feature_info.value("video.codec", "av1");
  options.gop = feature_info.value("video.g", 2);
  options.crf = feature_info.value("video.crf", 30);
  if (feature_info.contains("video.preset") && feature_info["video.preset"].is_number_integer()) options.preset = feature_info["video.preset"];
  options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  kit::video::Mp4Writer writer(to, options);
  kit::video::Yuv420Frame frame;
  for (long k = 0; reader.next(frame); ++k) {
    if (k >= skip && k < skip + count) continue;
    const uint8_t* planes[3] = {frame.planes[0].data(), frame.planes[1].data(), frame.planes[2].data()};
    writer.add_yuv420(planes, frame.strides);
  }
  writer.close();
}

}  // namespace

DeletedEpisode delete_episode(const fs::path& dataset, long episode) {
  const std::string repo_id = dataset.filename().string();
  if (!fs::exists(dataset / "meta" / "info.json")) throw DatasetNotFound("no dataset at " + dataset.string());
  Json info = Json::parse(read_file(dataset / "meta" / "info.json"));
  const long total = info.at("total_episodes").get<long>();
  const int fps = info.at("fps").get<int>();
  if (episode < 0 || episode >= total) throw DatasetNotFound("no episode " + std::to_string(episode) + " in " + repo_id);
  if (total == 1) throw LastEpisode("episode " + std::to_string(episode) + " is the dataset's only episode");
  std::vector<std::string> cameras;
  for (const auto& [key, f] : info.at("features").items()) {
    if (f.value("dtype", "") == "video") cameras.push_back(key);
  }

  // The episodes table: the episode's length and where its frames are.
  std::vector<Table> episode_tables;
  long length = -1;
  std::map<std::string, VideoPlace> places;
  std::map<std::string, std::set<std::pair<long, long>>> shared;  // per camera, files other episodes use
  for (const auto& file : table_files(dataset / "meta" / "episodes")) {
    episode_tables.push_back(read_table(file));
    for (const auto& columns : episode_tables.back().groups) {
      const ColumnValues& index = column_of(columns, "episode_index");
      for (size_t r = 0; r < index.rows(); ++r) {
        const Row row{columns, r};
        const bool deleted = index.ints[index.row_start[r]] == episode;
        if (deleted) length = row.integer("length");
        for (const auto& key : cameras) {
          const std::pair<long, long> slot{row.integer("videos/" + key + "/chunk_index"), row.integer("videos/" + key + "/file_index")};
          if (!deleted) {
            shared[key].insert(slot);
            continue;
          }
          const ColumnValues& from = column_of(columns, "videos/" + key + "/from_timestamp");
          places[key] = {slot.first, slot.second, from.reals.at(from.row_start[r])};
        }
      }
    }
  }
  if (length < 0) throw DatasetNotFound("episode " + std::to_string(episode) + " is not in the episodes table");

  // Tasks no episode uses any more are dropped and the others renumbered,
  // unless an episode mixes tasks (its statistics could not follow).
  std::vector<Table> data_tables;
  std::set<int64_t> used;
  for (const auto& file : table_files(dataset / "data")) {
    data_tables.push_back(read_table(file));
    for (const auto& columns : data_tables.back().groups) {
      const ColumnValues& e = column_of(columns, "episode_index");
      const ColumnValues& t = column_of(columns, "task_index");
      for (size_t r = 0; r < e.rows(); ++r) {
        if (e.ints[e.row_start[r]] != episode) used.insert(t.ints[t.row_start[r]]);
      }
    }
  }
  const Json sidecar = fs::exists(dataset / "meta" / "tessaline.json") ? Json::parse(read_file(dataset / "meta" / "tessaline.json")) : Json::object();
  const std::vector<std::string> tasks = read_tasks(dataset, sidecar);
  bool mixed = false;
  for (const auto& table : episode_tables) {
    for (const auto& columns : table.groups) {
      const ColumnValues &lo = column_of(columns, "stats/task_index/min"), &hi = column_of(columns, "stats/task_index/max");
      for (size_t r = 0; r < lo.rows(); ++r) mixed = mixed || lo.reals.at(lo.row_start[r]) != hi.reals.at(hi.row_start[r]);
    }
  }
  std::map<int64_t, int64_t> renumber;  // old task index → new
  std::vector<std::string> kept_tasks;
  for (size_t t = 0; t < tasks.size(); ++t) {
    if (mixed || used.count(static_cast<int64_t>(t))) {
      renumber[static_cast<int64_t>(t)] = static_cast<int64_t>(kept_tasks.size());
      kept_tasks.push_back(tasks[t]);
    }
  }
  const bool tasks_change = kept_tasks.size() != tasks.size();
  const auto task = [&](int64_t v) { return renumber.count(v) ? renumber.at(v) : v; };
  const auto same_file = [&](const Row& row, const std::string& key) {
    const auto it = places.find(key);
    return it != places.end() && row.integer("videos/" + key + "/chunk_index") == it->second.chunk &&
           row.integer("videos/" + key + "/file_index") == it->second.file;
  };

  DatasetChange change(dataset);
  const auto rel = [&](const fs::path& p) { return fs::relative(p, dataset).string(); };
  for (const auto& table : data_tables) {
    rewrite_table(table, rel(table.path), episode, change,
                  [&](const Row& row) { return row.integer("episode_index") > episode || task(row.integer("task_index")) != row.integer("task_index"); },
                  {[&](const Row& row, const std::string& name, int64_t v) {
                     const bool after = row.integer("episode_index") > episode;
                     if (name == "episode_index" && after) return v - 1;
                     if (name == "index" && after) return v - length;
                     if (name == "task_index") return task(v);
                     return v;
                   },
                   [](const Row&, const std::string&, double v) { return v; }});
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
  const double seconds = static_cast<double>(length) / fps;
  for (const auto& table : episode_tables) {
    // Every episodes file is read for the statistics; only changed ones are written.
    rewrite_table(table, rel(table.path), episode, change,
                  [&](const Row& row) { return row.integer("episode_index") > episode || tasks_change; },
                  {[&](const Row& row, const std::string& name, int64_t v) {
                     if (row.integer("episode_index") < episode) return v;
                     if (name == "episode_index") return v - 1;
                     if (name == "dataset_from_index" || name == "dataset_to_index") return v - length;
                     return v;
                   },
                   [&](const Row& row, const std::string& name, double v) {
                     // Statistics of the task index follow the renumbering (each episode has one task).
                     if (name.starts_with("stats/task_index/") && !name.ends_with("/std")) return static_cast<double>(task(std::llround(v)));
                     if (row.integer("episode_index") < episode) return v;
                     // The episode's own statistics of its indices move with them (not the spread).
                     if (name.ends_with("/std")) return v;
                     if (name.starts_with("stats/episode_index/")) return v - 1;
                     if (name.starts_with("stats/index/")) return v - static_cast<double>(length);
                     // Later episodes in the file the deleted one leaves start earlier.
                     for (const auto& key : cameras) {
                       const std::string prefix = "videos/" + key + "/";
                       if ((name == prefix + "from_timestamp" || name == prefix + "to_timestamp") && same_file(row, key) &&
                           v > places.at(key).from) {
                         return v - seconds;
                       }
                     }
                     return v;
                   }},
                  keep_stats);
  }
  // Each camera's file that held the episode: encoded again without it, or gone when it held nothing else.
  for (const auto& [key, place] : places) {
    const FileSlot slot{place.chunk, place.file};
    const std::string video = slot.path("videos/" + key, ".mp4");
    if (!shared[key].count({place.chunk, place.file})) {
      change.remove(video);
      continue;
    }
    rewrite_video(dataset / video, change.file(video), std::lround(place.from * fps), length,
                  info.at("features").at(key).value("info", Json::object()), fps);
  }
  Json stats = Json::object();
  for (const auto& [feature, list] : parts) stats[feature] = to_json(merge(list));
  change.write("meta/stats.json", stats.dump(4));
  if (tasks_change) {
    change.write("meta/tasks.parquet", tasks_table(kept_tasks));
    if (!sidecar.empty()) {
      Json updated = sidecar;
      updated["tasks"] = kept_tasks;
      change.write("meta/tessaline.json", kit::json::to_file(updated));
    }
  }

  info["total_episodes"] = total - 1;
  info["total_frames"] = info.at("total_frames").get<long>() - length;
  info["total_tasks"] = static_cast<long>(kept_tasks.size());
  info["splits"] = {{"train", "0:" + std::to_string(total - 1)}};
  change.write("meta/info.json", info.dump(4));
  change.commit();
  return {length, total - 1};
}

}  // namespace studio
