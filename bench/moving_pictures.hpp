#pragma once
// A camera's 640×480 picture that moves from frame to frame, as RGB or as a
// JPEG, so an encoder has real work to do.
#include <cstdint>
#include <string>
#include <vector>

#include "kit/jpeg/jpeg.hpp"

namespace bench {

constexpr int kMovingWidth = 640, kMovingHeight = 480;

inline std::vector<uint8_t> moving_rgb(int frame, int camera) {
  constexpr int w = kMovingWidth, h = kMovingHeight;
  std::vector<uint8_t> rgb(w * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(x + frame * 3);
      p[1] = static_cast<uint8_t>(y * 2 - frame);
      p[2] = static_cast<uint8_t>(camera * 90 + ((x / 40 + y / 40 + frame / 10) % 2) * 60);
    }
  }
  return rgb;
}

inline std::string moving_jpeg(int frame, int camera) {
  return kit::jpeg::encode_rgb(moving_rgb(frame, camera).data(), kMovingWidth, kMovingHeight);
}

}  // namespace bench
