#pragma once
// A live picture shared through a memory-mapped file: the rig's virtual
// cameras write frames, armkit's Camera reads the newest one. A sequence
// counter (odd while a frame is being written) keeps readers from ever
// taking a torn frame.
#include <cstdint>
#include <string>

#include "kit/values/values.hpp"

namespace armkit {

class FrameFileWriter {
 public:
  FrameFileWriter(std::string path, int width, int height);  // creates or replaces the file
  ~FrameFileWriter();
  FrameFileWriter(const FrameFileWriter&) = delete;
  FrameFileWriter& operator=(const FrameFileWriter&) = delete;
  void write(const kit::NdArray& rgb);  // must be height x width x 3
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int width_, height_;
  size_t size_;
  uint8_t* map_ = nullptr;
};

class FrameFileReader {
 public:
  explicit FrameFileReader(std::string path);  // throws std::runtime_error
  ~FrameFileReader();
  FrameFileReader(const FrameFileReader&) = delete;
  FrameFileReader& operator=(const FrameFileReader&) = delete;
  int width() const { return width_; }
  int height() const { return height_; }
  // The newest frame if it is newer than `seen` (updated); false otherwise.
  bool read_if_new(kit::NdArray& out, uint64_t& seen) const;

 private:
  int width_ = 0, height_ = 0;
  size_t size_ = 0;
  const uint8_t* map_ = nullptr;
};

}  // namespace armkit
