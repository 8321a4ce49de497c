#pragma once
// An episode's verdict as the operator gives it — "success" or "failure",
// with a note — kept in the dataset's meta/tessaline.json under "labels"
// ({"<episode index>": {"label", "note"}}), which the field's loaders do
// not read. Deleting an episode moves the labels of those after it along.
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

// Labels `episode` (nothing: clears its label), written aside and switched
// in at once under the datasets lock. Throws std::invalid_argument for an
// episode the dataset does not have, another label, or a note over 1000
// bytes or not UTF-8.
void label_episode(const std::filesystem::path& dataset, long episode, const std::optional<EpisodeLabel>& label,
                   const std::function<void()>& on_wait = {});

// The sidecar's "labels" once episode `deleted` has gone: its own dropped,
// those after it one lower.
kit::json::Json labels_after_delete(const kit::json::Json& labels, long deleted);

}  // namespace studio
