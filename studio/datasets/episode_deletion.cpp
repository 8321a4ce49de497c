#include "studio/datasets/episode_deletion.hpp"

#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/datasets/episode_labels.hpp"
#include "studio/datasets/dataset_library.hpp"
#include "studio/datasets/dataset_stats.hpp"
#include "studio/datasets/dataset_tasks.hpp"
#include "studio/datasets/table_rewrite.hpp"
#include "studio/datasets/video_cut.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using kit::parquet::ColumnValues;

namespace {

// Where the deleted episode's frames are in one camera's video.
struct VideoPlace {
  long chunk, file;
  double from;
};

// One deletion, step by step: find the episode, decide what becomes of the
// tasks, then write the tables, videos and metadata again aside and switch
// them in.
class EpisodeDeletion {
 public:
  EpisodeDeletion(fs::path dataset, long episode);
  DeletedEpisode run();

 private:
  void find_episode();
  void plan_tasks();
  void rewrite_data(DatasetChange& change) const;
  void rewrite_episodes(DatasetChange& change);
  void rewrite_videos(DatasetChange& change) const;
  void write_metadata(DatasetChange& change);

  int64_t task(int64_t old_index) const { return renumber_.count(old_index) ? renumber_.at(old_index) : old_index; }
  bool in_deleted_file(const Row& row, const std::string& key) const;
  std::string rel(const fs::path& p) const { return fs::relative(p, dataset_).string(); }

  fs::path dataset_;
  long episode_;
  Json info_;
  long total_;
  int fps_;
  std::vector<std::string> cameras_;
  std::vector<Table> episode_tables_, data_tables_;
  long length_ = -1;
  std::map<std::string, VideoPlace> places_;                     // per camera, the deleted episode's frames
  std::map<std::string, std::set<std::pair<long, long>>> shared_;  // per camera, files other episodes use
  Json sidecar_;
  std::vector<std::string> kept_tasks_;
  std::map<int64_t, int64_t> renumber_;  // old task index → new
  bool tasks_change_ = false;
  std::map<std::string, std::vector<FeatureStats>> kept_stats_;  // per feature, the remaining episodes'
};

EpisodeDeletion::EpisodeDeletion(fs::path dataset, long episode) : dataset_(std::move(dataset)), episode_(episode) {
  const std::string repo_id = dataset_.filename().string();
  if (!fs::exists(dataset_ / "meta" / "info.json")) throw DatasetNotFound("no dataset at " + dataset_.string());
  info_ = Json::parse(read_file(dataset_ / "meta" / "info.json"));
  total_ = info_.at("total_episodes").get<long>();
  fps_ = info_.at("fps").get<int>();
  if (episode < 0 || episode >= total_) throw DatasetNotFound("no episode " + std::to_string(episode) + " in " + repo_id);
  if (total_ == 1) throw LastEpisode("episode " + std::to_string(episode) + " is the dataset's only episode");
  for (const auto& [key, f] : info_.at("features").items()) {
    if (f.value("dtype", "") == "video") cameras_.push_back(key);
  }
}

DeletedEpisode EpisodeDeletion::run() {
  find_episode();
  plan_tasks();
  DatasetChange change(dataset_);
  rewrite_data(change);
  rewrite_episodes(change);
  rewrite_videos(change);
  write_metadata(change);
  change.commit();
  return {length_, total_ - 1};
}

// The episodes table: the episode's length and where its frames are.
void EpisodeDeletion::find_episode() {
  for (const auto& file : table_files(dataset_ / "meta" / "episodes")) {
    episode_tables_.push_back(read_table(file));
    for (const auto& columns : episode_tables_.back().groups) {
      const ColumnValues& index = column_of(columns, "episode_index");
      for (size_t r = 0; r < index.rows(); ++r) {
        const Row row{columns, r};
        const bool deleted = index.ints[index.row_start[r]] == episode_;
        if (deleted) length_ = row.integer("length");
        for (const auto& key : cameras_) {
          const std::pair<long, long> slot{row.integer("videos/" + key + "/chunk_index"), row.integer("videos/" + key + "/file_index")};
          if (!deleted) {
            shared_[key].insert(slot);
            continue;
          }
          const ColumnValues& from = column_of(columns, "videos/" + key + "/from_timestamp");
          places_[key] = {slot.first, slot.second, from.reals.at(from.row_start[r])};
        }
      }
    }
  }
  if (length_ < 0) throw DatasetNotFound("episode " + std::to_string(episode_) + " is not in the episodes table");
}

// Tasks no episode uses any more are dropped and the others renumbered,
// unless an episode mixes tasks (its statistics could not follow).
void EpisodeDeletion::plan_tasks() {
  std::set<int64_t> used;
  for (const auto& file : table_files(dataset_ / "data")) {
    data_tables_.push_back(read_table(file));
    for (const auto& columns : data_tables_.back().groups) {
      const ColumnValues& e = column_of(columns, "episode_index");
      const ColumnValues& t = column_of(columns, "task_index");
      for (size_t r = 0; r < e.rows(); ++r) {
        if (e.ints[e.row_start[r]] != episode_) used.insert(t.ints[t.row_start[r]]);
      }
    }
  }
  sidecar_ = fs::exists(dataset_ / "meta" / "tessaline.json") ? Json::parse(read_file(dataset_ / "meta" / "tessaline.json")) : Json::object();
  const std::vector<std::string> tasks = read_tasks(dataset_, sidecar_);
  bool mixed = false;
  for (const auto& table : episode_tables_) {
    for (const auto& columns : table.groups) {
      const ColumnValues &lo = column_of(columns, "stats/task_index/min"), &hi = column_of(columns, "stats/task_index/max");
      for (size_t r = 0; r < lo.rows(); ++r) mixed = mixed || lo.reals.at(lo.row_start[r]) != hi.reals.at(hi.row_start[r]);
    }
  }
  for (size_t t = 0; t < tasks.size(); ++t) {
    if (mixed || used.count(static_cast<int64_t>(t))) {
      renumber_[static_cast<int64_t>(t)] = static_cast<int64_t>(kept_tasks_.size());
      kept_tasks_.push_back(tasks[t]);
    }
  }
  tasks_change_ = kept_tasks_.size() != tasks.size();
}

bool EpisodeDeletion::in_deleted_file(const Row& row, const std::string& key) const {
  const auto it = places_.find(key);
  return it != places_.end() && row.integer("videos/" + key + "/chunk_index") == it->second.chunk &&
         row.integer("videos/" + key + "/file_index") == it->second.file;
}

void EpisodeDeletion::rewrite_data(DatasetChange& change) const {
  const Shift shift{[&](const Row& row, const std::string& name, int64_t v) {
                      const bool after = row.integer("episode_index") > episode_;
                      if (name == "episode_index" && after) return v - 1;
                      if (name == "index" && after) return v - length_;
                      if (name == "task_index") return task(v);
                      return v;
                    },
                    [](const Row&, const std::string&, double v) { return v; },
                    {}};
  for (const auto& table : data_tables_) {
    rewrite_table(table, rel(table.path), episode_, change,
                  [&](const Row& row) { return row.integer("episode_index") > episode_ || task(row.integer("task_index")) != row.integer("task_index"); },
                  shift);
  }
}

void EpisodeDeletion::rewrite_episodes(DatasetChange& change) {
  const double seconds = static_cast<double>(length_) / fps_;
  const Shift shift{[&](const Row& row, const std::string& name, int64_t v) {
                      if (row.integer("episode_index") < episode_) return v;
                      if (name == "episode_index") return v - 1;
                      if (name == "dataset_from_index" || name == "dataset_to_index") return v - length_;
                      return v;
                    },
                    [&](const Row& row, const std::string& name, double v) {
                      // Statistics of the task index follow the renumbering (each episode has one task).
                      if (name.starts_with("stats/task_index/") && !name.ends_with("/std")) return static_cast<double>(task(std::llround(v)));
                      if (row.integer("episode_index") < episode_) return v;
                      // The episode's own statistics of its indices move with them (not the spread).
                      if (name.ends_with("/std")) return v;
                      if (name.starts_with("stats/episode_index/")) return v - 1;
                      if (name.starts_with("stats/index/")) return v - static_cast<double>(length_);
                      // Later episodes in the file the deleted one leaves start earlier.
                      for (const auto& key : cameras_) {
                        const std::string prefix = "videos/" + key + "/";
                        if ((name == prefix + "from_timestamp" || name == prefix + "to_timestamp") && in_deleted_file(row, key) &&
                            v > places_.at(key).from) {
                          return v - seconds;
                        }
                      }
                      return v;
                    },
                    {}};
  const KeptRow keep_stats = [&](const std::vector<ColumnValues>& columns, size_t r, const Shift& applied) {
    for (const auto& c : columns) {
      const std::string& name = c.spec.name;
      if (name.starts_with("stats/") && name.ends_with("/min")) {
        const std::string feature = name.substr(6, name.size() - 10);
        kept_stats_[feature].push_back(episode_stats(columns, r, feature, applied));
      }
    }
  };
  for (const auto& table : episode_tables_) {
    // Every episodes file is read for the statistics; only changed ones are written.
    rewrite_table(table, rel(table.path), episode_, change,
                  [&](const Row& row) { return row.integer("episode_index") > episode_ || tasks_change_; }, shift, keep_stats);
  }
}

// Each camera's file that held the episode: encoded again without it, or gone when it held nothing else.
void EpisodeDeletion::rewrite_videos(DatasetChange& change) const {
  for (const auto& [key, place] : places_) {
    const FileSlot slot{place.chunk, place.file};
    const std::string video = slot.path("videos/" + key, ".mp4");
    const auto others = shared_.find(key);
    if (others == shared_.end() || !others->second.count({place.chunk, place.file})) {
      change.remove(video);
      continue;
    }
    cut_video(dataset_ / video, change.file(video), std::lround(place.from * fps_), length_,
                  info_.at("features").at(key).value("info", Json::object()), fps_);
  }
}

void EpisodeDeletion::write_metadata(DatasetChange& change) {
  Json stats = Json::object();
  for (const auto& [feature, list] : kept_stats_) stats[feature] = to_json(merge(list));
  change.write("meta/stats.json", stats.dump(4));
  if (tasks_change_) change.write("meta/tasks.parquet", tasks_table(kept_tasks_));
  if (!sidecar_.empty()) {
    Json updated = sidecar_;
    if (tasks_change_) updated["tasks"] = kept_tasks_;
    // Labels and quality records stay with their episodes, which move up.
    for (const char* key : kPerEpisodeKeys) {
      if (sidecar_.contains(key)) updated[key] = per_episode_after_delete(sidecar_[key], episode_);
    }
    if (updated != sidecar_) change.write("meta/tessaline.json", kit::json::to_file(updated));
  }
  info_["total_episodes"] = total_ - 1;
  info_["total_frames"] = info_.at("total_frames").get<long>() - length_;
  info_["total_tasks"] = static_cast<long>(kept_tasks_.size());
  info_["splits"] = {{"train", "0:" + std::to_string(total_ - 1)}};
  change.write("meta/info.json", info_.dump(4));
}

}  // namespace

DeletedEpisode delete_episode(const fs::path& dataset, long episode, const std::function<void()>& on_wait) {
  const DatasetsLock lock(dataset, on_wait);
  return EpisodeDeletion(dataset, episode).run();
}

}  // namespace studio
