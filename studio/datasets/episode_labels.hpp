#pragma once
// An episode's verdict as the operator gives it — "success" or "failure",
// with a note — kept in the dataset's meta/tessaline.json under "labels"
// ({"<episode index>": {"label", "note"}}), which the field's loaders do
// not read; beside it, under "quality", how each episode was recorded.
// Deleting an episode moves the entries of those after it along.
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "kit/json/text.hpp"

namespace studio {

struct EpisodeLabel {
  std::string label;  // "success" or "failure"
  std::string note;
};

// The dataset's labels by episode index; none without a note of ours.
std::map<long, EpisodeLabel> episode_labels(const std::filesystem::path& dataset);
// The episodes' quality records (studio/live/episode_quality.hpp) by index.
std::map<long, kit::json::Json> episode_quality(const std::filesystem::path& dataset);

// Labels `episode` (nothing: clears its label), written aside and switched
// in at once under the datasets lock. Throws std::invalid_argument for an
// episode the dataset does not have, another label, or a note over 1000
// bytes or not UTF-8.
void label_episode(const std::filesystem::path& dataset, long episode, const std::optional<EpisodeLabel>& label,
                   const std::function<void()>& on_wait = {});

// What the sidecar keeps by episode index: the labels, and each episode's
// quality record as the robot measured it.
inline constexpr const char* kPerEpisodeKeys[] = {"labels", "quality"};

// One of those maps once episode `deleted` has gone: its own entry dropped,
// those after it one lower.
kit::json::Json per_episode_after_delete(const kit::json::Json& by_episode, long deleted);

}  // namespace studio
