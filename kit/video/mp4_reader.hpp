#pragma once
// Decodes the frames of an MP4 video one after another (AV1 with dav1d or
// libaom, H.264), as yuv420p planes in the video range — what Mp4Writer's
// add_yuv420 takes back. Throws VideoError.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kit/video/mp4_writer.hpp"

namespace kit::video {

struct Yuv420Frame {
  int width = 0, height = 0;
  std::vector<uint8_t> planes[3];  // Y, then Cb and Cr at half width and height (rounded up)
  int strides[3] = {0, 0, 0};
};

class Mp4Reader {
 public:
  explicit Mp4Reader(const std::filesystem::path& path);
  ~Mp4Reader();
  Mp4Reader(const Mp4Reader&) = delete;
  Mp4Reader& operator=(const Mp4Reader&) = delete;

  int width() const;
  int height() const;
  std::string codec() const;  // "av1", "h264", ...
  // The next frame in display order; false after the last.
  bool next(Yuv420Frame& frame);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kit::video
