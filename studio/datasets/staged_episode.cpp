#include "studio/datasets/staged_episode.hpp"

#include <algorithm>

#include "kit/jpeg/jpeg.hpp"
#include "studio/datasets/dataset_change.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace {

constexpr const char* kDefaultTask = "teleoperated demonstration";

}  // namespace

StagedEpisode load_staged_episode(const fs::path& dir) {
  StagedEpisode e;
  for (const auto& path : staged_stream_files(dir)) {
    e.streams.push_back(std::make_unique<StagedStreamReader>(path));
    const StagedStreamReader& stream = *e.streams.back();
    for (size_t b = 0; b < stream.size(); ++b) {
      const auto batch = stream.batch(b);
      LoggedFrame frame;
      try {
        frame = read_logged_frame(*batch);  // the pictures are views into the batch, dropped below
      } catch (const FrameSchemaError& err) {
        throw std::runtime_error(path.string() + ": " + err.what());
      }
      if (e.frames.empty()) {
        for (const auto& [key, jpeg] : frame.images) {
          const auto [w, h] = kit::jpeg::image_size(jpeg);
          e.cameras.emplace_back(key, w, h);
        }
      }
      frame.images.clear();
      e.frames.push_back({std::move(frame), e.streams.size() - 1, b});
    }
  }
  // Workers may deliver out of order; the capture clock decides.
  std::stable_sort(e.frames.begin(), e.frames.end(), [](const StagedFrame& a, const StagedFrame& b) {
    return a.frame.timestamp.value_or(0) < b.frame.timestamp.value_or(0);
  });
  e.task = fs::exists(dir / "TASK") ? read_file(dir / "TASK") : "";
  if (e.task.empty() || !valid_utf8(e.task)) e.task = kDefaultTask;
  if (fs::exists(dir / "LABEL")) e.label = kit::json::Json::parse(read_file(dir / "LABEL"), nullptr, false);
  if (!e.label.is_object()) e.label = nullptr;
  if (fs::exists(dir / "QUALITY")) e.quality = kit::json::Json::parse(read_file(dir / "QUALITY"), nullptr, false);
  if (!e.quality.is_object()) e.quality = nullptr;
  return e;
}

}  // namespace studio
