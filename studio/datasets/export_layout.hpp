#pragma once
// The first step of an export: what the dataset holds already, and the
// layout of what goes in — one set of cameras of one size each, one length
// of state and action, the robot type and rate — decided from the staged
// episodes and checked against the dataset before anything is encoded. A
// difference is an ExportRefused naming it; nothing is written then.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kit/json/text.hpp"
#include "studio/datasets/exporter.hpp"

namespace studio {

// What a dataset holds before an export adds to it (empty for a new one).
struct DatasetState {
  bool exists = false;
  kit::json::Json info;
  kit::json::Json stats = kit::json::Json::object();
  kit::json::Json sidecar = kit::json::Json::object();  // meta/tessaline.json
  std::string owner;
  std::vector<std::string> tasks;
  long next_episode = 0;
  long next_index = 0;

  // Throws ExportRefused when the dataset's tasks cannot be read.
  static DatasetState read(const std::filesystem::path& dataset);
};

struct ExportLayout {
  std::vector<std::string> cameras;                          // keys, in the order the frames carry them
  std::map<std::string, std::pair<int, int>> source_size;   // as captured
  std::map<std::string, std::pair<int, int>> encoded_size;  // what the encoder takes
  std::map<std::string, std::string> codec;                 // an existing dataset keeps its cameras' codecs
  size_t state_dims = 0, action_dims = 0;
  std::vector<std::string> state_names, action_names;
  std::string robot_type;
  int fps = 0;
  int64_t data_limit = 0, video_limit = 0;  // bytes a data / video file takes before the next one starts
  long episodes = 0;                        // staged episodes with frames
};

// Reads every staged episode once. Throws ExportRefused.
ExportLayout settle_layout(const std::vector<std::filesystem::path>& staged, const ExportRequest& request,
                           const DatasetState& dataset);

}  // namespace studio
