#pragma once
// The luma plane of every frame of an MP4, in order, as the decoder gives it.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "kit/video/mp4_reader.hpp"

namespace test_support {

inline std::vector<std::vector<uint8_t>> luma_of(const std::filesystem::path& mp4) {
  kit::video::Mp4Reader reader(mp4);
  std::vector<std::vector<uint8_t>> frames;
  for (kit::video::Yuv420Frame f; reader.next(f);) frames.push_back(f.planes[0]);
  return frames;
}

}  // namespace test_support
