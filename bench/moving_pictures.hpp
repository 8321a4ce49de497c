#pragma once
// A camera's 640×480 picture that moves from frame to frame, as a JPEG, so
// an encoder has real work to do.
#include <cstdint>
#include <string>
#include <vector>

#include "kit/jpeg/jpeg.hpp"

namespace bench {

inline std::string moving_jpeg(int frame, int camera) {
  constexpr int w = 640, h = 480;
  std::vector<uint8_t> rgb(w * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(x + frame * 3);
      p[1] = static_cast<uint8_t>(y * 2 - frame);
      p[2] = static_cast<uint8_t>(camera * 90 + ((x / 40 + y / 40 + frame / 10) % 2) * 60);
    }
  }
  return kit::jpeg::encode_rgb(rgb.data(), w, h);
}

}  // namespace bench
