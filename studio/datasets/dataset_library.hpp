#pragma once
// What the dataset viewer shows, read from the datasets' own files (the
// studio's and others a DatasetCatalog finds): the list of datasets, a
// dataset's episodes, one episode's joint values over time, and the files a
// browser may fetch. Throws DatasetNotFound for an unknown dataset or
// episode, std::runtime_error for a dataset that cannot be read.
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "kit/json/text.hpp"
#include "studio/datasets/dataset_catalog.hpp"

namespace studio {

struct DatasetNotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A dataset in a layout this studio does not read (an older format version).
struct DatasetUnsupported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// [{repoId, robotType, fps, episodes, frames, durationSeconds, bytes, modified, codec, cameras, readOnly,
//   version, and unsupported: why it cannot be opened, for a layout this studio does not read}],
// newest first; with `owner`, only the datasets that user recorded.
kit::json::Json list_datasets(const DatasetCatalog& catalog, const std::optional<std::string>& owner = std::nullopt);

// The user whose sessions a dataset was exported from ("" when unknown, and
// for datasets of other tools).
std::string dataset_owner(const DatasetEntry& dataset);

// {repoId, fps, robotType, cameras, readOnly, episodes: [{index, length, tasks,
//  videos: {camera: {path, from, to}}, label?: {label, note}}]}
kit::json::Json dataset_episodes(const DatasetEntry& dataset);

// {index, fps, length, frameIndex: [...], timestamp: [...],
//  action: {names, values: [[joint 0 over time], ...]}, state: {...}}
kit::json::Json episode_series(const DatasetEntry& dataset, long episode);

// The file behind `rel` (videos/<camera>/chunk-NNN/file-NNN.mp4) in the
// dataset, or nothing when `rel` is not such a path or does not exist.
std::optional<std::filesystem::path> dataset_video(const DatasetEntry& dataset, const std::string& rel);

}  // namespace studio
