#pragma once
// Camera detection and configuration utilities.
#include <optional>
#include <vector>

#include "kit/json/text.hpp"

namespace tessaline::ports {

struct DetectedCamera {
  kit::json::Json index_or_path;  // an OpenCV index, or "virtual:<file>" for the rig's cameras
  int width;
  int height;
  int fps;
};
// Probe OpenCV camera indices. Returns (index, width, height, fps) for each
// available camera, then the virtual rig's cameras when its manifest is set.
std::vector<DetectedCamera> detect_cameras(int max_index);

}  // namespace tessaline::ports

namespace tessaline::cameras {

// Probe for cameras and return config dicts, or None if none found.
std::optional<kit::json::Json> detect_camera_configs(int max_index = 20);

}  // namespace tessaline::cameras
