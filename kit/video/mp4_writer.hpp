#pragma once
// MP4 video from RGB frames through libavcodec/libavformat: AV1
// (libsvtav1) or H.264 (libx264), yuv420p, a fixed frame rate and a time
// base in which every frame k sits exactly at k/fps (1/(fps·512)), so a
// reader that looks a frame up by its timestamp finds it to the
// microsecond. Frames are appended one after another; the file is valid
// once `close` returned.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace kit::video {

// Ticks of the time base per frame: frame k of a video is at k · kTicksPerFrame.
constexpr int kTicksPerFrame = 512;

struct VideoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct VideoOptions {
  int width = 0, height = 0;  // even, at least 64 (see encodable_size)
  int fps = 30;
  std::string codec = "av1";  // "av1" (libsvtav1) or "h264" (libx264)
  int gop = 2;                // a key frame every `gop` frames
  int crf = 30;
  int preset = 12;            // libsvtav1's speed preset
  int threads = 0;            // encoder threads; 0: the encoder's own choice
};

// The size a picture of width × height is encoded at: an odd side loses
// its last column or row; a picture with a side under 64 is scaled up,
// keeping its shape, until that side is 64 (64x48 is encoded at 86x64).
std::pair<int, int> encodable_size(int width, int height);

// Settings a dataset records of how its videos were encoded, per codec, by
// the names the field's tools read back to encode again.
struct EncoderSettings {
  int gop;
  int crf;
  std::string preset;  // libsvtav1: its number ("12"); libx264: its preset name
};
EncoderSettings encoder_settings(const VideoOptions& options);

class Mp4Writer {
 public:
  Mp4Writer(const std::filesystem::path& path, const VideoOptions& options);  // throws VideoError
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One RGB frame, rows `stride` bytes apart, of the video's size or
  // (source_width × source_height) another one: an odd side's last column or
  // row cut, a smaller picture scaled up to the video (see encodable_size).
  void add_rgb(const uint8_t* rgb, int stride, int source_width = 0, int source_height = 0);
  // One frame as a JPEG's 4:2:0 planes (chroma at half width and height,
  // rounded up; BT.601, full 0–255 levels), brought to the video range on
  // the way as add_rgb's conversion does; cut or scaled to fit likewise.
  void add_jpeg_yuv420(const uint8_t* const planes[3], const int strides[3], int source_width = 0, int source_height = 0);
  // One frame as yuv420p planes already in the video range (as a decoder
  // gives them), of the video's size.
  void add_yuv420(const uint8_t* const planes[3], const int strides[3]);
  long frames() const { return frames_; }
  // Bytes of the file so far (the encoder may still hold the last frames).
  int64_t bytes() const;
  // Drains the encoder and writes the index. Throws VideoError.
  void close();
  // Ticks per second of the stream's time base.
  int timescale() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  long frames_ = 0;
};

}  // namespace kit::video
