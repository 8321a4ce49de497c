#pragma once
// A v3.0 dataset checked against what the field's loaders rely on, from its
// own files: info.json against the tables, the episodes' index ranges, frame
// and timestamp order, tasks, each camera's videos against the episodes
// (codec, size, frame rate, a frame at every timestamp), and the stats'
// shapes and values against the data. For any v3.0 folder: the studio's,
// another tool's, a copy from a bucket.
#include <filesystem>
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

// Each fault found, naming its file (at most 100, then how many more);
// empty when the dataset reads clean.
std::vector<std::string> check_dataset(const std::filesystem::path& dataset);

// What the dataset holds, from its metadata: {version, robotType, fps,
// episodes, frames, durationSeconds, tasks: [...], features: {name: {dtype,
// shape}}, cameras: {name: {codec, width, height}}, files: {data, episodes,
// videos}, bytes}. Throws std::runtime_error for a folder without a
// readable meta/info.json.
kit::json::Json describe_dataset(const std::filesystem::path& dataset);

}  // namespace studio
