#include "studio/datasets/dataset_merge.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/dataset_stats.hpp"
#include "studio/datasets/dataset_tasks.hpp"
#include "studio/datasets/episode_labels.hpp"
#include "studio/datasets/table_rewrite.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using Slot = std::pair<long, long>;

namespace {

Json read_json(const fs::path& path, Json otherwise) { return fs::exists(path) ? Json::parse(read_file(path)) : otherwise; }

// chunk-CCC/file-FFF.ext → {CCC, FFF}.
Slot slot_of(const fs::path& file) {
  long chunk = -1, number = -1;
  if (std::sscanf(file.parent_path().filename().c_str(), "chunk-%ld", &chunk) != 1 ||
      std::sscanf(file.filename().c_str(), "file-%ld", &number) != 1) {
    throw std::runtime_error(file.string() + " is not named chunk-NNN/file-NNN");
  }
  return {chunk, number};
}

// Each of the source's files of one kind gets the target's next free file.
std::map<Slot, FileSlot> new_slots(const std::vector<fs::path>& files, FileSlot next) {
  std::map<Slot, FileSlot> out;
  for (const auto& file : files) {
    out[slot_of(file)] = next;
    next = next.next();
  }
  return out;
}

void check_same_kind(const Json& target, const Json& source, const fs::path& source_dir) {
  const std::string name = source_dir.string();
  if (source.value("codebase_version", "") != target.value("codebase_version", "")) {
    throw DatasetsDiffer(name + " is a dataset of version " + source.value("codebase_version", "?") + ", not " +
                         target.value("codebase_version", "?"));
  }
  if (source.at("fps") != target.at("fps")) {
    throw DatasetsDiffer(name + " was recorded at " + source.at("fps").dump() + " frames/s, not " + target.at("fps").dump());
  }
  const Json &theirs = source.at("features"), &ours = target.at("features");
  for (const auto& [key, feature] : ours.items()) {
    if (!theirs.contains(key)) throw DatasetsDiffer(name + " has no feature " + key);
    if (theirs[key] != feature) throw DatasetsDiffer(name + ": the feature " + key + " differs (" + theirs[key].dump() + ")");
  }
  for (const auto& [key, feature] : theirs.items()) {
    if (!ours.contains(key)) throw DatasetsDiffer(name + " has a feature the other has not: " + key);
  }
}

}  // namespace

AppendedDataset append_dataset(const fs::path& target, const fs::path& source) {
  Json info = Json::parse(read_file(target / "meta" / "info.json"));
  const Json theirs = Json::parse(read_file(source / "meta" / "info.json"));
  check_same_kind(info, theirs, source);
  const long episodes_before = info.at("total_episodes").get<long>();
  const long frames_before = info.at("total_frames").get<long>();
  std::vector<std::string> cameras;
  for (const auto& [key, f] : info.at("features").items()) {
    if (f.value("dtype", "") == "video") cameras.push_back(key);
  }

  // Tasks: the same text is the same task; new ones are numbered after ours.
  Json sidecar = read_json(target / "meta" / "tessaline.json", Json::object());
  const Json their_sidecar = read_json(source / "meta" / "tessaline.json", Json::object());
  std::vector<std::string> tasks = read_tasks(target, sidecar);
  const size_t tasks_before = tasks.size();
  std::map<int64_t, int64_t> task_of;
  const std::vector<std::string> their_tasks = read_tasks(source, their_sidecar);
  for (size_t t = 0; t < their_tasks.size(); ++t) {
    const auto at = std::find(tasks.begin(), tasks.end(), their_tasks[t]);
    task_of[static_cast<int64_t>(t)] = at - tasks.begin();
    if (at == tasks.end()) tasks.push_back(their_tasks[t]);
  }
  const auto task = [&](int64_t t) {
    const auto it = task_of.find(t);
    if (it == task_of.end()) throw std::runtime_error(source.string() + " uses task " + std::to_string(t) + ", which its tasks table lacks");
    return it->second;
  };

  DatasetChange change(target);
  const auto data_files = table_files(source / "data");
  const auto data_slots = new_slots(data_files, first_free_slot(target / "data"));
  const auto episode_files = table_files(source / "meta" / "episodes");
  const auto episode_slots = new_slots(episode_files, first_free_slot(target / "meta" / "episodes"));
  std::map<std::string, std::map<Slot, FileSlot>> video_slots;
  for (const auto& key : cameras) {
    const auto videos = table_files(source / "videos" / key, ".mp4");
    video_slots[key] = new_slots(videos, first_free_slot(target / "videos" / key));
    for (const auto& video : videos) {
      fs::copy_file(video, change.file(video_slots[key].at(slot_of(video)).path("videos/" + key, ".mp4")));
    }
  }

  const auto always = [](const Row&) { return true; };
  const auto same = [](const Row&, const std::string&, double v) { return v; };
  const Shift data_shift{[&](const Row&, const std::string& name, int64_t v) {
                           if (name == "episode_index") return v + episodes_before;
                           if (name == "index") return v + frames_before;
                           if (name == "task_index") return task(v);
                           return v;
                         },
                         same, {}};
  long frames = 0;
  for (const auto& file : data_files) {
    const Table table = read_table(file);
    for (const auto& columns : table.groups) frames += static_cast<long>(column_of(columns, "episode_index").rows());
    rewrite_table(table, data_slots.at(slot_of(file)).path("data", ".parquet"), -1, change, always, data_shift);
  }

  // A file number column of a row moves to the file its file went to.
  const auto moved = [](const std::map<Slot, FileSlot>& slots, const Row& row, const std::string& prefix, bool chunk) {
    const FileSlot& to = slots.at({row.integer(prefix + "chunk_index"), row.integer(prefix + "file_index")});
    return static_cast<int64_t>(chunk ? to.chunk : to.file);
  };
  const Shift episode_shift{
      [&](const Row& row, const std::string& name, int64_t v) -> int64_t {
        if (name == "episode_index") return v + episodes_before;
        if (name == "dataset_from_index" || name == "dataset_to_index") return v + frames_before;
        const bool chunk = name.ends_with("/chunk_index");
        if (!chunk && !name.ends_with("/file_index")) return v;
        const std::string prefix = name.substr(0, name.rfind('/') + 1);
        if (prefix == "data/") return moved(data_slots, row, prefix, chunk);
        if (prefix.starts_with("videos/")) return moved(video_slots.at(prefix.substr(7, prefix.size() - 8)), row, prefix, chunk);
        if (prefix == "meta/episodes/") return moved(episode_slots, row, prefix, chunk);
        return v;
      },
      [&](const Row&, const std::string& name, double v) {
        if (!name.starts_with("stats/") || name.ends_with("/std")) return v;  // a spread moves with nothing
        if (name.starts_with("stats/episode_index/")) return v + static_cast<double>(episodes_before);
        if (name.starts_with("stats/index/")) return v + static_cast<double>(frames_before);
        // Each episode has one task: its minimum, maximum and mean are its task.
        if (name.starts_with("stats/task_index/")) return static_cast<double>(task(std::llround(v)));
        return v;
      },
      {}};
  std::map<std::string, std::vector<FeatureStats>> added;
  const KeptRow keep_stats = [&](const std::vector<kit::parquet::ColumnValues>& columns, size_t r, const Shift& applied) {
    for (const auto& c : columns) {
      const std::string& name = c.spec.name;
      if (name.starts_with("stats/") && name.ends_with("/min")) {
        added[name.substr(6, name.size() - 10)].push_back(episode_stats(columns, r, name.substr(6, name.size() - 10), applied));
      }
    }
  };
  long episodes = 0;
  for (const auto& file : episode_files) {
    const Table table = read_table(file);
    for (const auto& columns : table.groups) episodes += static_cast<long>(column_of(columns, "episode_index").rows());
    rewrite_table(table, episode_slots.at(slot_of(file)).path("meta/episodes", ".parquet"), -1, change, always, episode_shift,
                  keep_stats);
  }
  if (episodes != theirs.at("total_episodes").get<long>() || frames != theirs.at("total_frames").get<long>()) {
    throw std::runtime_error(source.string() + ": its tables hold " + std::to_string(episodes) + " episodes and " +
                             std::to_string(frames) + " frames, its info.json says otherwise (run `tessaline dataset check` on it)");
  }

  Json stats = read_json(target / "meta" / "stats.json", Json::object());
  for (auto& [feature, parts] : added) {
    if (stats.contains(feature)) parts.insert(parts.begin(), stats_from_json(stats[feature]));
    stats[feature] = to_json(merge(parts));
  }
  change.write("meta/stats.json", stats.dump(4));
  if (tasks.size() != tasks_before) change.write("meta/tasks.parquet", tasks_table(tasks));

  if (!sidecar.empty() || !their_sidecar.empty()) {
    sidecar["tasks"] = tasks;
    for (const char* key : kPerEpisodeKeys) {
      if (!their_sidecar.contains(key) || !their_sidecar[key].is_object()) continue;
      for (const auto& [index, value] : their_sidecar[key].items()) {
        try {
          sidecar[key][std::to_string(std::stol(index) + episodes_before)] = value;
        } catch (const std::logic_error&) {  // not an episode's number
        }
      }
    }
    change.write("meta/tessaline.json", kit::json::to_file(sidecar));
  }
  info["total_episodes"] = episodes_before + episodes;
  info["total_frames"] = frames_before + frames;
  info["total_tasks"] = static_cast<long>(tasks.size());
  info["splits"] = {{"train", "0:" + std::to_string(episodes_before + episodes)}};
  change.write("meta/info.json", info.dump(4));
  change.commit();
  return {episodes, frames};
}

}  // namespace studio
