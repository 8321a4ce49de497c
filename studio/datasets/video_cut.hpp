#pragma once
// A camera's video file again without frames [skip, skip + count), so every
// frame kept sits where the dataset's tables say (the frames after the cut
// move up by `count`).
#include <filesystem>

#include "kit/json/text.hpp"

namespace studio {

enum class CutBy {
  copying_when_clean,  // packets copied when the frame after the cut is a key frame, else encoded again
  encoding,            // always decoded and encoded again (what older files without such key frames need)
};

// `feature_info` is the camera feature's "info" of info.json: the codec
// settings an encoding uses. Throws kit::video::VideoError.
void cut_video(const std::filesystem::path& from, const std::filesystem::path& to, long skip, long count,
               const kit::json::Json& feature_info, int fps, CutBy how = CutBy::copying_when_clean);

}  // namespace studio
