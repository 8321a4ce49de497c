#pragma once
// One episode's pictures of one camera, encoded on their own into
//   DATA/encoded/<episode key>/<camera>.mp4
// starting on a key frame, so an export copies them into the dataset's
// videos without encoding again. <camera>.json beside it, written last,
// says the video is complete and what it was made of: the frames (their
// count and order), the encoder's settings and a sample of the pictures
// for the image statistics. An episode's key is the name of its first
// staged stream, which no other episode shares and which follows it from
// staging into an export job.
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kit/jpeg/jpeg.hpp"
#include "kit/video/mp4_writer.hpp"

namespace studio {

// Pixels of sampled frames, per channel, for the image statistics.
struct ImageSampler {
  std::array<std::array<uint64_t, 256>, 3> histograms{};
  int64_t frames = 0;
  void add(const kit::jpeg::DecodedImage& image);
  void add(const ImageSampler& other);
};

// How an episode's videos are encoded; an encoding made otherwise is not used.
struct EpisodeVideoSettings {
  std::string codec = "av1";
  int fps = 30;
  int threads = 1;  // the encoder's threads (no part of what must match)
};

// Encoder threads per camera when `cameras` encode side by side: the cores shared out among them.
int encoder_threads(size_t cameras);

std::filesystem::path encoded_dir(const std::filesystem::path& data_dir, const std::string& episode_key);
// The key of a staged episode directory (empty when it holds no stream).
std::string episode_key(const std::filesystem::path& episode_dir);
// Stands for the frames' order: their capture times, one after another.
uint64_t frame_order(const std::vector<double>& timestamps);

class EpisodeVideoWriter {
 public:
  EpisodeVideoWriter(std::filesystem::path dir, std::string camera, EpisodeVideoSettings settings);
  ~EpisodeVideoWriter();
  EpisodeVideoWriter(const EpisodeVideoWriter&) = delete;
  EpisodeVideoWriter& operator=(const EpisodeVideoWriter&) = delete;

  // The next frame's picture; throws when it is not a JPEG or not of the first one's size.
  void add(std::string_view jpeg, double timestamp);
  // Closes the video, puts it on disk and writes the record beside it.
  void finish();
  long frames() const { return static_cast<long>(timestamps_.size()); }

 private:
  std::filesystem::path dir_;
  std::string camera_;
  EpisodeVideoSettings settings_;
  std::pair<int, int> source_size_{0, 0};
  std::unique_ptr<kit::video::Mp4Writer> video_;
  kit::jpeg::Yuv420Image yuv_;
  std::vector<double> timestamps_;
  // Sampled pictures, by the power of two their frame number is a multiple of (see sampled_for()).
  std::map<int, ImageSampler> samples_;
};

struct EncodedCamera {
  std::filesystem::path video;
  ImageSampler sample;
};

// What an encoding must be to serve an episode's camera in an export.
struct EncodingWanted {
  std::string codec;
  std::pair<int, int> source_size;
  int fps = 0;
  long frames = 0;
  uint64_t order = 0;
};

// The camera's complete video in `dir`, when it was made of these frames
// with these settings.
std::optional<EncodedCamera> find_encoded(const std::filesystem::path& dir, const std::string& camera, const EncodingWanted& wanted);

}  // namespace studio
