#pragma once
// Encoding one episode's pictures into the cameras' videos. Each camera's
// pictures are decoded and encoded on a thread of their own; the calling
// thread reads every staged frame once, in order, and hands the pictures
// over through short queues, so memory stays bounded whatever the
// episode's length. Sampled pictures feed the image statistics.
#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "kit/jpeg/jpeg.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/export_layout.hpp"
#include "studio/datasets/staged_episode.hpp"

namespace studio {

// Pixels of sampled frames, per channel, for the image statistics.
struct ImageSampler {
  std::array<std::array<uint64_t, 256>, 3> histograms{};
  int64_t frames = 0;
  void add(const kit::jpeg::DecodedImage& image);
};

// Throws when a frame lacks a camera's picture or a camera changes size.
std::map<std::string, ImageSampler> encode_episode(const StagedEpisode& episode, long episode_index, const ExportLayout& layout,
                                                   const std::map<std::string, kit::video::Mp4Writer*>& videos);

}  // namespace studio
