#pragma once
// What an MP4's video stream says about itself, read without decoding:
// codec, size, pixel format, frame rate and each frame's time. Throws
// VideoError for a file that holds no readable video.
#include <filesystem>
#include <string>
#include <vector>

#include "kit/video/mp4_writer.hpp"

namespace kit::video {

struct VideoProbe {
  std::string codec;         // "av1", "h264", ...
  std::string pixel_format;  // "yuv420p", ...
  int width = 0, height = 0;
  int rate_num = 0, rate_den = 1;   // the stream's frame rate
  std::vector<double> frame_times;  // seconds, in display order
};

VideoProbe probe_video(const std::filesystem::path& path);

}  // namespace kit::video
