#pragma once
// The encoded videos an export joins into the dataset: each episode's own,
// as encoded while it recorded when they were made of its frames with the
// dataset's settings, or else encoded now from its staged pictures.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "studio/datasets/episode_video.hpp"
#include "studio/datasets/export_layout.hpp"
#include "studio/datasets/staged_episode.hpp"

namespace studio {

// Returns once nothing encodes the episode of that key any more.
using AwaitLiveVideo = std::function<void(const std::string& episode_key)>;

struct EpisodeVideos {
  std::map<std::string, std::filesystem::path> files;  // per camera
  std::map<std::string, ImageSampler> samples;
};

class VideoSource {
 public:
  VideoSource(std::filesystem::path data_dir, const ExportLayout& layout, AwaitLiveVideo await_live);

  // Throws when a frame lacks a camera's picture or a camera changes size.
  EpisodeVideos for_episode(const std::filesystem::path& dir, const StagedEpisode& episode, long episode_index);
  long encoded_before() const { return encoded_before_; }  // episodes whose videos were ready
  // Drops the encoded videos of the episodes asked for (once they are in the dataset).
  void forget() const;

 private:
  std::filesystem::path data_dir_;
  const ExportLayout& layout_;
  AwaitLiveVideo await_live_;
  long encoded_before_ = 0;
  std::vector<std::string> keys_;  // of the episodes asked for
};

// At start-up: drops encoded videos of episodes no longer staged or waiting for export.
void sweep_encoded_videos(const std::filesystem::path& data_dir);

}  // namespace studio
