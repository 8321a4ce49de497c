#pragma once
// Frames as a robot logs them and the studio stages them: two 640×480
// cameras (JPEG, as they arrive over Flight), an action and a state, added
// to a FrameStore one at a time.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "bench/moving_pictures.hpp"
#include "kit/flight/array.hpp"
#include "studio/live/frame_store.hpp"

namespace bench {

// Distinct pictures per camera, shown in a loop.
using CameraPictures = std::vector<std::array<std::string, 2>>;

inline CameraPictures camera_pictures(int count) {
  CameraPictures pictures;
  for (int i = 0; i < count; ++i) pictures.push_back({moving_jpeg(i, 0), moving_jpeg(i, 1)});
  return pictures;
}

inline void stage_frame(studio::FrameStore& store, long i, int fps, const CameraPictures& pictures) {
  namespace fl = kit::flight;
  const auto& p = pictures[static_cast<size_t>(i) % pictures.size()];
  std::vector<std::pair<std::string, fl::ArrayPtr>> cols = {
      {"timestamp", fl::MakeFloat64Array({static_cast<double>(i) / fps})},
      {"action", fl::MakeFloat64ListArray({std::vector<double>(6, static_cast<double>(i) * 0.1)})},
      {"user_id", fl::MakeStringArray({"bench"})},
      {"fps", fl::MakeFloat64Array({double(fps)})},
      {"robot_type", fl::MakeStringArray({"so101_follower"})},
      {"observation.images.cam_front", fl::MakeBinaryArray({p[0]})},
      {"observation.images.cam_wrist", fl::MakeBinaryArray({p[1]})},
      {"state", fl::MakeFloat64ListArray({std::vector<double>(6, static_cast<double>(i) * 0.2)})}};
  store.add_batch(fl::RecordBatch::FromNamedArrays(std::move(cols)));
}

}  // namespace bench
