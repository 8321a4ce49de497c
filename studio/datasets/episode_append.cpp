#include "studio/datasets/episode_append.hpp"

#include <algorithm>
#include <span>


namespace studio {

long EpisodeAppender::append(const std::filesystem::path& dir, const StagedEpisode& episode) {
  const long length = static_cast<long>(episode.frames.size());
  const Place place{dataset_.next_episode++, dataset_.next_index, task_index(episode.task)};
  const EpisodeVideos videos = videos_.for_episode(dir, episode, place.episode_index);
  writers_.make_room(length, videos.files);
  const Values values = write_rows(episode, place);
  std::map<std::string, long> video_from;
  for (const auto& key : layout_.cameras) video_from[key] = writers_.video_frames(key);
  writers_.add_videos(length, videos.files);
  const auto stats = statistics(values, videos.samples);
  writers_.make_room_for_episode_row();
  write_episode_row(episode, place, video_from, stats);
  return length;
}

long EpisodeAppender::task_index(const std::string& task) {
  auto& tasks = dataset_.tasks;
  auto at = std::find(tasks.begin(), tasks.end(), task);
  if (at == tasks.end()) at = tasks.insert(tasks.end(), task);
  return at - tasks.begin();
}

EpisodeAppender::Values EpisodeAppender::write_rows(const StagedEpisode& episode, const Place& place) {
  Values values;
  kit::parquet::Writer& data = writers_.data();
  const long length = static_cast<long>(episode.frames.size());
  for (long i = 0; i < length; ++i) {
    const LoggedFrame& f = episode.frames[static_cast<size_t>(i)].frame;
    if (f.state.size() != layout_.state_dims || !f.action || f.action->size() != layout_.action_dims) {
      throw std::runtime_error("episode " + std::to_string(place.episode_index) + " frame " + std::to_string(i) +
                               " has state or action of another length than the others");
    }
    const std::vector<float> action(f.action->begin(), f.action->end()), state(f.state.begin(), f.state.end());
    const float timestamp = static_cast<float>(static_cast<double>(i) / layout_.fps);
    const long index = dataset_.next_index++;
    data.add_list(0, std::span<const float>(action));
    data.add_list(1, std::span<const float>(state));
    data.add(2, timestamp);
    data.add(3, int64_t{i});
    data.add(4, int64_t{place.episode_index});
    data.add(5, int64_t{index});
    data.add(6, int64_t{place.task_index});
    data.end_row();
    // Statistics of what is stored: the values as float32, not before the cast.
    values.actions.emplace_back(action.begin(), action.end());
    values.states.emplace_back(state.begin(), state.end());
    values.indices.push_back({timestamp, static_cast<double>(i), static_cast<double>(place.episode_index),
                              static_cast<double>(index), static_cast<double>(place.task_index)});
  }
  data.end_row_group();
  return values;
}

std::map<std::string, FeatureStats> EpisodeAppender::statistics(const Values& values,
                                                                const std::map<std::string, ImageSampler>& samplers) const {
  std::map<std::string, FeatureStats> stats;
  stats["action"] = vector_stats(values.actions);
  stats["observation.state"] = vector_stats(values.states);
  for (const auto& key : layout_.cameras) stats[key] = image_stats(samplers.at(key).histograms, samplers.at(key).frames);
  for (size_t k = 0; k < kIndexFeatures.size(); ++k) {
    std::vector<std::vector<double>> column;
    for (const auto& row : values.indices) column.push_back({row[k]});
    stats[kIndexFeatures[k]] = vector_stats(column);
  }
  return stats;
}

// Columns in the order DatasetWriters declares them; statistics in the dataset's feature order.
void EpisodeAppender::write_episode_row(const StagedEpisode& episode, const Place& place, const std::map<std::string, long>& video_from,
                                        const std::map<std::string, FeatureStats>& stats) {
  kit::parquet::Writer& episodes = writers_.episodes();
  const long length = static_cast<long>(episode.frames.size());
  const double fps = layout_.fps;
  size_t c = 0;
  episodes.add(c++, int64_t{place.episode_index});
  episodes.add_list(c++, std::span<const std::string>(&episode.task, 1));
  episodes.add(c++, int64_t{length});
  episodes.add(c++, int64_t{writers_.data_slot().chunk});
  episodes.add(c++, int64_t{writers_.data_slot().file});
  episodes.add(c++, int64_t{place.from_index});
  episodes.add(c++, int64_t{place.from_index + length});
  for (const auto& key : layout_.cameras) {
    episodes.add(c++, int64_t{writers_.video_slot(key).chunk});
    episodes.add(c++, int64_t{writers_.video_slot(key).file});
    episodes.add(c++, static_cast<double>(video_from.at(key)) / fps);
    episodes.add(c++, static_cast<double>(video_from.at(key) + length) / fps);
  }
  std::vector<std::string> feature_order = {"action", "observation.state"};
  feature_order.insert(feature_order.end(), layout_.cameras.begin(), layout_.cameras.end());
  feature_order.insert(feature_order.end(), kIndexFeatures.begin(), kIndexFeatures.end());
  for (const auto& feature : feature_order) {
    const FeatureStats& s = stats.at(feature);
    for (const auto* v : {&s.min, &s.max, &s.mean, &s.std}) episodes.add_list(c++, std::span<const double>(*v), s.shape);
    const int64_t count = s.count;
    episodes.add_list(c++, std::span<const int64_t>(&count, 1));
    for (const auto& q : s.quantiles) episodes.add_list(c++, std::span<const double>(q), s.shape);
    stats_[feature].push_back(s);
  }
  episodes.add(c++, int64_t{writers_.episodes_slot().chunk});
  episodes.add(c++, int64_t{writers_.episodes_slot().file});
  episodes.end_row();
  episodes.end_row_group();
}

}  // namespace studio
