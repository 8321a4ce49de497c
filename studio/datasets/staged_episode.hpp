#pragma once
// One staged episode as an export reads it: its frames in capture order,
// without their pictures (read again from the staged streams when they are
// encoded, so an episode of any length is never in memory at once).
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "kit/json/text.hpp"

#include "studio/live/logged_frame.hpp"
#include "studio/live/staged_stream.hpp"

namespace studio {

struct StagedFrame {
  LoggedFrame frame;  // images left out: their bytes stay on disk
  size_t stream;
  size_t batch;
};

struct StagedEpisode {
  std::vector<std::unique_ptr<StagedStreamReader>> streams;
  std::vector<StagedFrame> frames;
  std::vector<std::tuple<std::string, int, int>> cameras;  // key, width, height, from the first frame
  std::string task;
  kit::json::Json label;    // {label, note} the operator gave it, or null
  kit::json::Json quality;  // the robot's record of how it was recorded (episode_quality.hpp), or null

  std::shared_ptr<kit::flight::RecordBatch> read_batch(const StagedFrame& staged) const {
    return streams.at(staged.stream)->batch(staged.batch);
  }
};

// Every frame checked against the logged-record schema (a bad one names its file).
StagedEpisode load_staged_episode(const std::filesystem::path& dir);

}  // namespace studio
