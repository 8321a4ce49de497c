#include "studio/datasets/dataset_check.hpp"

#include <algorithm>
#include <cstdio>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "kit/parquet/reader.hpp"
#include "kit/video/video_probe.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/dataset_tasks.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

constexpr size_t kMostProblems = 100;
// The field's loaders look a frame up by its timestamp within this much.
constexpr double kTimeTolerance = 1e-4;

class Problems {
 public:
  void add(std::string text) {
    if (list_.size() < kMostProblems) list_.push_back(std::move(text));
    else ++more_;
  }
  void check(bool ok, const std::string& text) {
    if (!ok) add(text);
  }
  std::vector<std::string> take() {
    if (more_ > 0) list_.push_back("... and " + std::to_string(more_) + " more");
    return std::move(list_);
  }

 private:
  std::vector<std::string> list_;
  size_t more_ = 0;
};

// "total_frames 21", or what is wrong with it.
std::string count_text(const Json& info, const char* key) {
  const auto it = info.find(key);
  if (it == info.end()) return std::string("no ") + key;
  return std::string(key) + " " + it->dump();
}

bool has_column(const kit::parquet::Reader& reader, const std::string& name) {
  const auto& schema = reader.schema();
  return std::any_of(schema.begin(), schema.end(), [&](const auto& c) { return c.name == name; });
}

std::string rel(const fs::path& dataset, const fs::path& file) { return file.lexically_relative(dataset).generic_string(); }

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7g", v);
  return text;
}

// Running min, max, mean and spread of one value of a feature.
struct Moments {
  double min = INFINITY, max = -INFINITY, sum = 0, squares = 0;
  long count = 0;
  void add(double v) {
    min = std::min(min, v);
    max = std::max(max, v);
    sum += v;
    squares += v * v;
    ++count;
  }
  double mean() const { return sum / static_cast<double>(count); }
  double std() const { return std::sqrt(std::max(0.0, squares / static_cast<double>(count) - mean() * mean())); }
};

struct Row {
  int64_t index = 0, episode = 0, frame = 0, task = 0;
  double timestamp = 0;
  size_t file = 0;  // its data file, by number in file order
};

// What the data tables hold, read once.
struct DataTables {
  std::vector<fs::path> files;
  std::vector<Row> rows;
  std::map<std::string, std::vector<Moments>> moments;  // per numeric feature, per value
};

// A feature's values per row: its length (lists) and shape as info.json says.
size_t feature_width(const Json& feature) {
  const Json shape = feature.value("shape", Json::array());
  return shape.size() == 1 && shape[0].is_number_integer() ? shape[0].get<size_t>() : 0;
}

bool numeric(const std::string& dtype) {
  return dtype == "float32" || dtype == "float64" || dtype == "int64" || dtype == "int32" || dtype == "bool";
}

DataTables read_data(const fs::path& dataset, const Json& features, Problems& problems) {
  static const char* const kRequired[] = {"index", "episode_index", "frame_index", "timestamp", "task_index"};
  DataTables data;
  data.files = table_files(dataset / "data");
  problems.check(!data.files.empty(), "data/: no data files");
  for (size_t f = 0; f < data.files.size(); ++f) {
    const std::string name = rel(dataset, data.files[f]);
    try {
      const kit::parquet::Reader reader(read_file(data.files[f]));
      bool complete = true;
      for (const char* column : kRequired) {
        if (!has_column(reader, column)) {
          problems.add(name + ": no column " + column);
          complete = false;
        }
      }
      for (const auto& [key, feature] : features.items()) {
        if (feature.value("dtype", "") != "video" && !has_column(reader, key)) problems.add(name + ": no column " + key);
      }
      if (!complete) continue;
      for (size_t g = 0; g < reader.row_groups(); ++g) {
        const auto index = reader.column(g, "index"), episode = reader.column(g, "episode_index");
        const auto frame = reader.column(g, "frame_index"), timestamp = reader.column(g, "timestamp");
        const auto task = reader.column(g, "task_index");
        const auto first = [](const kit::parquet::ColumnValues& c, size_t r) -> std::optional<size_t> {
          return c.row_start[r + 1] > c.row_start[r] ? std::optional(c.row_start[r]) : std::nullopt;
        };
        for (size_t r = 0; r < index.rows(); ++r) {
          const auto i = first(index, r), e = first(episode, r), fr = first(frame, r), t = first(timestamp, r), k = first(task, r);
          if (!i || !e || !fr || !t || !k) {
            problems.add(name + ": row " + std::to_string(data.rows.size()) + " lacks an index, episode, frame, timestamp or task");
            continue;
          }
          data.rows.push_back({index.ints[*i], episode.ints[*e], frame.ints[*fr], task.ints[*k], timestamp.reals[*t], f});
        }
        for (const auto& [key, feature] : features.items()) {
          if (!numeric(feature.value("dtype", "")) || !has_column(reader, key)) continue;
          const auto column = reader.column(g, key);
          const size_t width = feature_width(feature);
          auto& moments = data.moments[key];
          moments.resize(std::max<size_t>(width, 1));
          const bool reals = !column.reals.empty() || column.ints.empty();
          for (size_t r = 0; r < column.rows(); ++r) {
            const size_t n = column.row_start[r + 1] - column.row_start[r];
            if (width > 1 && n != width) {
              problems.add(name + ": " + key + " has " + std::to_string(n) + " values in a row, info.json says " + std::to_string(width));
              continue;
            }
            for (size_t v = 0; v < n && v < moments.size(); ++v) {
              const size_t at = column.row_start[r] + v;
              moments[v].add(reals ? column.reals[at] : static_cast<double>(column.ints[at]));
            }
          }
        }
      }
    } catch (const std::exception& e) {
      problems.add(name + ": cannot be read: " + e.what());
    }
  }
  return data;
}

// meta/tasks.parquet: task text by task_index.
std::map<int64_t, std::string> read_tasks(const fs::path& dataset, const Json& info, Problems& problems) {
  std::map<int64_t, std::string> tasks;
  const fs::path file = dataset / "meta" / "tasks.parquet";
  try {
    const kit::parquet::Reader reader(read_file(file));
    std::set<std::string> texts;
    for (size_t g = 0; g < reader.row_groups(); ++g) {
      const auto index = reader.column(g, "task_index"), text = reader.column(g, "task");
      for (size_t r = 0; r < index.rows() && r < text.rows(); ++r) {
        const int64_t i = index.ints[index.row_start[r]];
        const std::string t = text.strings[text.row_start[r]];
        problems.check(tasks.emplace(i, t).second, "meta/tasks.parquet: task_index " + std::to_string(i) + " twice");
        problems.check(texts.insert(t).second, "meta/tasks.parquet: the task \"" + t + "\" twice");
      }
    }
  } catch (const std::exception& e) {
    problems.add("meta/tasks.parquet: cannot be read: " + std::string(e.what()));
    return tasks;
  }
  const long total = info.value("total_tasks", -1L);
  problems.check(static_cast<long>(tasks.size()) == total, "meta/info.json: " + count_text(info, "total_tasks") +
                                                               ", meta/tasks.parquet has " + std::to_string(tasks.size()));
  long expected = 0;
  for (const auto& [i, t] : tasks) {
    if (i != expected++) {
      problems.add("meta/tasks.parquet: tasks are not numbered 0, 1, 2, ... (readers find a task by its row)");
      break;
    }
  }
  return tasks;
}

struct Episode {
  int64_t index = 0, length = 0, from = 0, to = 0, data_chunk = 0, data_file = 0;
  std::vector<std::string> tasks;
  struct Video {
    int64_t chunk = 0, file = 0;
    double from = 0, to = 0;
  };
  std::map<std::string, Video> videos;
  std::string file;  // the episodes file it is in
};

std::vector<Episode> read_episodes(const fs::path& dataset, const std::vector<std::string>& cameras, Problems& problems) {
  std::vector<Episode> episodes;
  std::optional<std::vector<std::string>> columns_of_first;
  const auto files = table_files(dataset / "meta" / "episodes");
  problems.check(!files.empty(), "meta/episodes/: no episodes files");
  for (const auto& file : files) {
    const std::string name = rel(dataset, file);
    try {
      const kit::parquet::Reader reader(read_file(file));
      std::vector<std::string> columns;
      for (const auto& c : reader.schema()) columns.push_back(c.name);
      std::sort(columns.begin(), columns.end());
      if (!columns_of_first) columns_of_first = columns;
      problems.check(columns == *columns_of_first,
                     name + ": other columns than " + rel(dataset, files[0]) + " (the episodes files must read as one table)");
      for (size_t g = 0; g < reader.row_groups(); ++g) {
        const auto index = reader.column(g, "episode_index"), length = reader.column(g, "length");
        const auto from = reader.column(g, "dataset_from_index"), to = reader.column(g, "dataset_to_index");
        const auto chunk = reader.column(g, "data/chunk_index"), data_file = reader.column(g, "data/file_index");
        const auto tasks = reader.column(g, "tasks");
        std::map<std::string, std::array<kit::parquet::ColumnValues, 4>> videos;
        for (const auto& cam : cameras) {
          const std::string p = "videos/" + cam + "/";
          videos[cam] = {reader.column(g, p + "chunk_index"), reader.column(g, p + "file_index"),
                         reader.column(g, p + "from_timestamp"), reader.column(g, p + "to_timestamp")};
        }
        for (size_t r = 0; r < index.rows(); ++r) {
          const auto at = [r](const kit::parquet::ColumnValues& c) { return c.ints[c.row_start[r]]; };
          Episode ep{at(index), at(length), at(from), at(to), at(chunk), at(data_file), {}, {}, name};
          ep.tasks.assign(tasks.strings.begin() + static_cast<long>(tasks.row_start[r]),
                          tasks.strings.begin() + static_cast<long>(tasks.row_start[r + 1]));
          for (const auto& [cam, c] : videos) {
            ep.videos[cam] = {c[0].ints[c[0].row_start[r]], c[1].ints[c[1].row_start[r]], c[2].reals[c[2].row_start[r]],
                              c[3].reals[c[3].row_start[r]]};
          }
          episodes.push_back(std::move(ep));
        }
      }
    } catch (const std::exception& e) {
      problems.add(name + ": cannot be read: " + e.what());
    }
  }
  return episodes;
}

// Each camera's videos: what the file says of itself, once per file.
class VideoChecks {
 public:
  VideoChecks(const fs::path& dataset, const Json& info, Problems& problems)
      : dataset_(dataset), info_(info), problems_(problems) {}

  const kit::video::VideoProbe* probe(const std::string& camera, const fs::path& file) {
    const std::string name = rel(dataset_, file);
    if (const auto it = probes_.find(name); it != probes_.end()) return it->second ? &*it->second : nullptr;
    auto& slot = probes_[name];
    try {
      slot = kit::video::probe_video(file);
    } catch (const std::exception& e) {
      problems_.add(name + ": cannot be read: " + e.what());
      return nullptr;
    }
    const Json& feature = info_["features"][camera];
    const std::string codec = feature.contains("info") ? feature["info"].value("video.codec", "") : "";
    problems_.check(codec.empty() || slot->codec == codec, name + ": " + slot->codec + ", info.json says " + codec);
    problems_.check(slot->pixel_format == "yuv420p", name + ": pixels in " + slot->pixel_format + ", not yuv420p");
    const Json shape = feature.value("shape", Json::array());
    if (shape.size() == 3 && shape[0].is_number_integer() && shape[1].is_number_integer()) {
      const int height = shape[0].get<int>(), width = shape[1].get<int>();  // [height, width, channels]
      problems_.check(slot->width == width && slot->height == height,
                      name + ": " + std::to_string(slot->width) + "x" + std::to_string(slot->height) + ", info.json says " +
                          std::to_string(width) + "x" + std::to_string(height));
    }
    const int fps = info_.value("fps", 0);
    problems_.check(slot->rate_den == 1 && slot->rate_num == fps,
                    name + ": " + std::to_string(slot->rate_num) + "/" + std::to_string(slot->rate_den) +
                        " frames a second, info.json says " + std::to_string(fps));
    return &*slot;
  }

 private:
  const fs::path& dataset_;
  const Json& info_;
  Problems& problems_;
  std::map<std::string, std::optional<kit::video::VideoProbe>> probes_;
};

bool has_frame_near(const std::vector<double>& sorted, double t) {
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), t - kTimeTolerance);
  return it != sorted.end() && std::abs(*it - t) <= kTimeTolerance;
}

void check_episodes(const fs::path& dataset, const Json& info, const std::vector<Episode>& episodes, const DataTables& data,
                    const std::map<int64_t, std::string>& tasks, const std::vector<std::string>& cameras, Problems& problems) {
  const long total = info.value("total_episodes", -1L);
  problems.check(static_cast<long>(episodes.size()) == total, "meta/info.json: " + count_text(info, "total_episodes") +
                                                                  ", meta/episodes has " + std::to_string(episodes.size()));
  const double fps = info.value("fps", 0.0);
  VideoChecks videos(dataset, info, problems);
  for (size_t e = 0; e < episodes.size(); ++e) {
    const Episode& ep = episodes[e];
    const std::string what = ep.file + ": episode " + std::to_string(ep.index);
    problems.check(ep.index == static_cast<int64_t>(e), ep.file + ": row " + std::to_string(e) + " is episode " + std::to_string(ep.index));
    const bool range_ok = ep.length > 0 && ep.from >= 0 && ep.to - ep.from == ep.length && ep.to <= static_cast<int64_t>(data.rows.size());
    problems.check(range_ok, what + ": length " + std::to_string(ep.length) + ", rows [" + std::to_string(ep.from) + ", " +
                                 std::to_string(ep.to) + ") of " + std::to_string(data.rows.size()));
    if (!range_ok) continue;
    const fs::path data_file = dataset / FileSlot{ep.data_chunk, ep.data_file}.path("data", ".parquet");
    const auto file_no = std::find(data.files.begin(), data.files.end(), data_file) - data.files.begin();
    problems.check(file_no < static_cast<long>(data.files.size()), what + ": its data file " + rel(dataset, data_file) + " is missing");
    std::set<std::string> listed(ep.tasks.begin(), ep.tasks.end());
    for (int64_t i = ep.from; i < ep.to; ++i) {
      const Row& row = data.rows[static_cast<size_t>(i)];
      const int64_t frame = i - ep.from;
      if (row.episode != ep.index || row.frame != frame) {
        problems.add(what + ": row " + std::to_string(i) + " is episode " + std::to_string(row.episode) + " frame " +
                     std::to_string(row.frame) + ", not frame " + std::to_string(frame));
        continue;
      }
      problems.check(static_cast<long>(row.file) == file_no, what + ": row " + std::to_string(i) + " is outside " + rel(dataset, data_file));
      problems.check(std::abs(row.timestamp - static_cast<double>(frame) / fps) <= kTimeTolerance,
                     what + ": frame " + std::to_string(frame) + " has timestamp " + num(row.timestamp) + ", not " +
                         num(static_cast<double>(frame) / fps));
      const auto task = tasks.find(row.task);
      problems.check(task != tasks.end() && listed.count(task->second) > 0,
                     what + ": frame " + std::to_string(frame) + " has task_index " + std::to_string(row.task) +
                         ", which is no task the episode lists");
    }
    for (const auto& cam : cameras) {
      const auto v = ep.videos.find(cam);
      if (v == ep.videos.end()) continue;
      const fs::path file = dataset / FileSlot{v->second.chunk, v->second.file}.path("videos/" + cam, ".mp4");
      if (!fs::exists(file)) {
        problems.add(what + ": its video " + rel(dataset, file) + " is missing");
        continue;
      }
      const double from = v->second.from;
      problems.check(std::abs(v->second.to - (from + static_cast<double>(ep.length) / fps)) <= kTimeTolerance,
                     what + ": " + cam + " runs from " + num(from) + " to " + num(v->second.to) + " s, " +
                         std::to_string(ep.length) + " frames at " + num(fps) + " fps");
      const auto* probe = videos.probe(cam, file);
      if (!probe) continue;
      long missing = 0;
      for (int64_t i = ep.from; i < ep.to; ++i) {
        if (!has_frame_near(probe->frame_times, from + data.rows[static_cast<size_t>(i)].timestamp)) ++missing;
      }
      problems.check(missing == 0, what + ": " + rel(dataset, file) + " has no frame for " + std::to_string(missing) + " of its " +
                                       std::to_string(ep.length) + " frames");
    }
  }
}

bool near(double a, double b, double tolerance) { return std::abs(a - b) <= tolerance * std::max(1.0, std::abs(b)); }

// stats.json: every feature, in its shape; the data's own values where the tables have them.
void check_stats(const fs::path& dataset, const Json& info, const DataTables& data, Problems& problems) {
  Json stats;
  try {
    stats = Json::parse(read_file(dataset / "meta" / "stats.json"));
  } catch (const std::exception& e) {
    problems.add("meta/stats.json: cannot be read: " + std::string(e.what()));
    return;
  }
  const auto shape_of = [](const Json& v) {
    std::vector<size_t> shape;
    for (const Json* at = &v; at->is_array(); at = &(*at)[0]) {
      shape.push_back(at->size());
      if (at->empty()) break;
    }
    return shape;
  };
  for (const auto& [key, feature] : info["features"].items()) {
    const auto s = stats.find(key);
    if (s == stats.end() || !s->is_object()) {
      problems.add("meta/stats.json: no stats for " + key);
      continue;
    }
    const bool video = feature.value("dtype", "") == "video";
    const std::vector<size_t> want = video ? std::vector<size_t>{3, 1, 1} : std::vector<size_t>{std::max<size_t>(feature_width(feature), 1)};
    for (const char* stat : {"min", "max", "mean", "std", "q01", "q10", "q50", "q90", "q99"}) {
      const auto v = s->find(stat);
      const bool quantile = stat[0] == 'q';
      if (v == s->end()) {
        problems.check(quantile, "meta/stats.json: " + key + " has no " + stat);
        continue;
      }
      problems.check(shape_of(*v) == want, "meta/stats.json: " + key + "/" + stat + " is " + v->dump() + ", not of the feature's shape");
    }
    const auto count = s->find("count");
    problems.check(count != s->end() && count->is_array() && count->size() == 1, "meta/stats.json: " + key + "/count");
    const auto m = data.moments.find(key);
    if (video || m == data.moments.end() || shape_of(s->value("min", Json())) != want) continue;
    if (count != s->end() && count->is_array() && count->size() == 1 && (*count)[0].is_number()) {
      problems.check((*count)[0].get<long>() == m->second[0].count, "meta/stats.json: " + key + "/count " + (*count)[0].dump() +
                                                                        ", the data has " + std::to_string(m->second[0].count));
    }
    for (size_t d = 0; d < m->second.size() && d < want[0]; ++d) {
      const Moments& got = m->second[d];
      if (got.count == 0) continue;
      const auto stored = [&](const char* stat) {
        const Json& v = (*s)[stat][d];
        return v.is_number() ? v.get<double>() : NAN;
      };
      const std::string at = key + "[" + std::to_string(d) + "]";
      problems.check(near(stored("min"), got.min, 1e-5) && near(stored("max"), got.max, 1e-5),
                     "meta/stats.json: " + at + " min/max " + num(stored("min")) + "/" + num(stored("max")) +
                         ", the data's " + num(got.min) + "/" + num(got.max));
      problems.check(near(stored("mean"), got.mean(), 1e-4), "meta/stats.json: " + at + " mean " + num(stored("mean")) +
                                                                  ", the data's " + num(got.mean()));
      problems.check(near(stored("std"), got.std(), 1e-3), "meta/stats.json: " + at + " std " + num(stored("std")) +
                                                                ", the data's " + num(got.std()));
    }
  }
}

Json read_info_json(const fs::path& dataset) {
  const Json info = Json::parse(read_file(dataset / "meta" / "info.json"));
  if (!info.is_object() || !info.contains("features") || !info["features"].is_object()) {
    throw std::runtime_error("meta/info.json has no features");
  }
  return info;
}

std::vector<std::string> video_keys(const Json& info) {
  std::vector<std::string> cameras;
  for (const auto& [key, feature] : info["features"].items()) {
    if (feature.value("dtype", "") == "video") cameras.push_back(key);
  }
  return cameras;
}

}  // namespace

std::vector<std::string> check_dataset(const fs::path& dataset) {
  Problems problems;
  Json info;
  try {
    info = read_info_json(dataset);
  } catch (const std::exception& e) {
    problems.add("meta/info.json: " + std::string(e.what()));
    return problems.take();
  }
  const std::string version = info.value("codebase_version", "");
  if (version.rfind("v3.", 0) != 0) {
    problems.add("meta/info.json: codebase_version " + (version.empty() ? std::string("missing") : version) +
                 "; this checks the v3.0 layout (convert the dataset to v3.0 first)");
    return problems.take();
  }
  const int fps = info.value("fps", 0);
  if (fps <= 0) {
    problems.add("meta/info.json: fps " + info.value("fps", Json()).dump());
    return problems.take();
  }
  const auto cameras = video_keys(info);
  const DataTables data = read_data(dataset, info["features"], problems);
  const long frames = info.value("total_frames", -1L);
  problems.check(static_cast<long>(data.rows.size()) == frames, "meta/info.json: " + count_text(info, "total_frames") +
                                                                    ", the data has " + std::to_string(data.rows.size()));
  for (size_t i = 0; i < data.rows.size(); ++i) {
    if (data.rows[i].index != static_cast<int64_t>(i)) {
      problems.add(rel(dataset, data.files[data.rows[i].file]) + ": row " + std::to_string(i) + " has index " +
                   std::to_string(data.rows[i].index));
    }
  }
  const auto tasks = read_tasks(dataset, info, problems);
  const auto episodes = read_episodes(dataset, cameras, problems);
  check_episodes(dataset, info, episodes, data, tasks, cameras, problems);
  check_stats(dataset, info, data, problems);
  return problems.take();
}

Json describe_dataset(const fs::path& dataset) {
  const Json info = read_info_json(dataset);
  const int fps = info.value("fps", 0);
  const long frames = info.value("total_frames", 0L);
  Json features = Json::object(), cameras = Json::object();
  for (const auto& [key, feature] : info["features"].items()) {
    features[key] = {{"dtype", feature.value("dtype", "")}, {"shape", feature.value("shape", Json::array())}};
    if (feature.value("dtype", "") != "video") continue;
    const Json details = feature.value("info", Json::object());
    cameras[key] = {{"codec", details.value("video.codec", "")},
                    {"width", details.value("video.width", 0)},
                    {"height", details.value("video.height", 0)}};
  }
  Json tasks = Json::array();
  try {
    tasks = read_tasks(dataset, Json::object());
  } catch (const std::exception&) {  // `check` says why
  }
  uintmax_t bytes = 0;
  long videos = 0;
  for (const auto& f : fs::recursive_directory_iterator(dataset)) {
    if (!f.is_regular_file()) continue;
    bytes += f.file_size();
    if (f.path().extension() == ".mp4") ++videos;
  }
  return {{"version", info.value("codebase_version", "")},
          {"robotType", info.value("robot_type", "unknown")},
          {"fps", fps},
          {"episodes", info.value("total_episodes", 0L)},
          {"frames", frames},
          {"durationSeconds", fps > 0 ? static_cast<double>(frames) / fps : 0.0},
          {"tasks", tasks},
          {"features", features},
          {"cameras", cameras},
          {"files",
           {{"data", table_files(dataset / "data").size()},
            {"episodes", table_files(dataset / "meta" / "episodes").size()},
            {"videos", videos}}},
          {"bytes", bytes}};
}

}  // namespace studio
