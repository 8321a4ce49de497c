#pragma once
// One staged episode into the dataset's files: its rows into the data
// table, its pictures into the videos, its statistics computed from what
// is stored, and its row into the episodes table.
#include <map>
#include <string>
#include <vector>

#include "studio/datasets/dataset_stats.hpp"
#include "studio/datasets/dataset_writers.hpp"
#include "studio/datasets/export_layout.hpp"
#include "studio/datasets/staged_episode.hpp"
#include "studio/datasets/video_source.hpp"

namespace studio {

class EpisodeAppender {
 public:
  // Numbers episodes and frames on from `dataset`, and adds to its tasks.
  EpisodeAppender(DatasetWriters& writers, const ExportLayout& layout, DatasetState& dataset, VideoSource& videos)
      : writers_(writers), layout_(layout), dataset_(dataset), videos_(videos) {}

  // The episode staged in `dir`; returns its length.
  long append(const std::filesystem::path& dir, const StagedEpisode& episode);

  // Per feature, the statistics of each episode appended.
  std::map<std::string, std::vector<FeatureStats>>& stats() { return stats_; }

 private:
  struct Place {
    long episode_index, from_index, task_index;
  };
  struct Values {
    std::vector<std::vector<double>> actions, states, indices;
  };

  long task_index(const std::string& task);
  Values write_rows(const StagedEpisode& episode, const Place& place);
  std::map<std::string, FeatureStats> statistics(const Values& values, const std::map<std::string, ImageSampler>& samplers) const;
  void write_episode_row(const StagedEpisode& episode, const Place& place, const std::map<std::string, long>& video_from,
                         const std::map<std::string, FeatureStats>& stats);

  DatasetWriters& writers_;
  const ExportLayout& layout_;
  DatasetState& dataset_;
  VideoSource& videos_;
  std::map<std::string, std::vector<FeatureStats>> stats_;
};

}  // namespace studio
