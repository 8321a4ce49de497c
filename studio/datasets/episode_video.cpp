#include "studio/datasets/episode_video.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "kit/files/atomic_file.hpp"
#include "kit/files/safe_name.hpp"
#include "kit/json/text.hpp"
#include "studio/live/staged_stream.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

constexpr long kStatFrames = 100;  // pictures sampled per episode, at most, for the statistics
constexpr int kStatPixels = 150;   // ... at about this many pixels across

// The sample of an episode of `n` frames is its frames at multiples of
// 2^sample_power(n). The power only grows with n, so a writer that does
// not know the length yet keeps every frame that can still be in the
// sample, and the sample is the same whether encoded live or afterwards.
int sample_power(long n) {
  int m = 0;
  while (((n + (1L << m) - 1) >> m) > kStatFrames) ++m;
  return m;
}
constexpr int kFirstFrame = 62;  // frame 0 is a multiple of every power

int frame_bucket(long i) { return i == 0 ? kFirstFrame : std::countr_zero(static_cast<unsigned long>(i)); }

std::string hex(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

void sync_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot put " + path.string() + " on disk: " + std::strerror(err));
  }
  ::close(fd);
}

fs::path video_path(const fs::path& dir, const std::string& camera) { return dir / (kit::safe_name(camera) + ".mp4"); }
fs::path record_path(const fs::path& dir, const std::string& camera) { return dir / (kit::safe_name(camera) + ".json"); }

kit::video::VideoOptions video_options(const EpisodeVideoSettings& s, std::pair<int, int> source) {
  kit::video::VideoOptions o;
  std::tie(o.width, o.height) = kit::video::encodable_size(source.first, source.second);
  o.fps = s.fps;
  o.codec = s.codec;
  o.threads = s.threads;
  return o;
}

}  // namespace

void ImageSampler::add(const kit::jpeg::DecodedImage& img) {
  const int step = std::max(1, std::max(img.width, img.height) / kStatPixels);
  for (int y = 0; y < img.height; y += step) {
    for (int x = 0; x < img.width; x += step) {
      const uint8_t* p = &img.rgb[(static_cast<size_t>(y) * img.width + x) * 3];
      for (int c = 0; c < 3; ++c) ++histograms[c][p[c]];
    }
  }
  ++frames;
}

void ImageSampler::add(const ImageSampler& other) {
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) histograms[c][v] += other.histograms[c][v];
  }
  frames += other.frames;
}

int encoder_threads(size_t cameras) {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency() / std::max<size_t>(1, cameras)));
}

fs::path encoded_dir(const fs::path& data_dir, const std::string& episode_key) {
  return data_dir / "encoded" / kit::safe_name(episode_key);
}

std::string episode_key(const fs::path& episode_dir) {
  const auto streams = staged_stream_files(episode_dir);
  return streams.empty() ? "" : streams.front().filename().string();
}

uint64_t frame_order(const std::vector<double>& timestamps) {
  uint64_t h = 1469598103934665603ULL;  // FNV-1a over the times' bits
  for (const double t : timestamps) {
    const auto bits = std::bit_cast<uint64_t>(t);
    for (int b = 0; b < 8; ++b) {
      h ^= (bits >> (8 * b)) & 0xff;
      h *= 1099511628211ULL;
    }
  }
  return h;
}

EpisodeVideoWriter::EpisodeVideoWriter(fs::path dir, std::string camera, EpisodeVideoSettings settings)
    : dir_(std::move(dir)), camera_(std::move(camera)), settings_(std::move(settings)) {
  fs::create_directories(dir_);
  fs::remove(record_path(dir_, camera_));  // an older encoding of the same frames is void from here on
}

EpisodeVideoWriter::~EpisodeVideoWriter() = default;

void EpisodeVideoWriter::add(std::string_view jpeg, double timestamp) {
  const long i = frames();
  const auto fits = [&](int width, int height) {
    if (!video_) {
      source_size_ = {width, height};
      video_ = std::make_unique<kit::video::Mp4Writer>(video_path(dir_, camera_), video_options(settings_, source_size_));
    } else if (std::pair{width, height} != source_size_) {
      throw std::runtime_error("the images of " + camera_ + " change size within the recording");
    }
  };
  const bool sampled = i % (1L << sample_power(i + 1)) == 0;
  // A 4:2:0 JPEG (what the robot side sends) goes to the encoder in its
  // own planes, without a round trip through RGB.
  if (kit::jpeg::decode_yuv420(jpeg, yuv_)) {
    fits(yuv_.width, yuv_.height);
    const uint8_t* planes[3] = {yuv_.y.data(), yuv_.cb.data(), yuv_.cr.data()};
    const int strides[3] = {yuv_.y_stride, yuv_.c_stride, yuv_.c_stride};
    video_->add_jpeg_yuv420(planes, strides, yuv_.width, yuv_.height);
    if (sampled) samples_[frame_bucket(i)].add(kit::jpeg::decode_rgb(std::string(jpeg)));
  } else {
    const auto image = kit::jpeg::decode_rgb(std::string(jpeg));
    fits(image.width, image.height);
    video_->add_rgb(image.rgb.data(), image.width * 3, image.width, image.height);
    if (sampled) samples_[frame_bucket(i)].add(image);
  }
  timestamps_.push_back(timestamp);
}

void EpisodeVideoWriter::finish() {
  if (!video_) throw std::runtime_error("no picture of " + camera_ + " to encode");
  video_->close();
  sync_file(video_path(dir_, camera_));
  ImageSampler sample;
  const int power = sample_power(frames());
  for (const auto& [bucket, s] : samples_) {
    if (bucket >= power) sample.add(s);
  }
  const auto settings = kit::video::encoder_settings(video_options(settings_, source_size_));
  const auto [video_width, video_height] = kit::video::encodable_size(source_size_.first, source_size_.second);
  Json record = {{"frames", frames()},          {"order", hex(frame_order(timestamps_))},
                 {"video_width", video_width},  {"video_height", video_height},
                 {"codec", settings_.codec},    {"width", source_size_.first},
                 {"height", source_size_.second}, {"fps", settings_.fps},
                 {"gop", settings.gop},         {"crf", settings.crf},
                 {"preset", settings.preset},   {"sample_frames", sample.frames},
                 {"histograms", sample.histograms}};
  kit::files::write_atomically(record_path(dir_, camera_), kit::json::to_file(record));
}

std::optional<EncodedCamera> find_encoded(const fs::path& dir, const std::string& camera, const EncodingWanted& wanted) {
  const fs::path record_file = record_path(dir, camera), video = video_path(dir, camera);
  std::error_code ec;
  if (!fs::exists(record_file, ec) || !fs::exists(video, ec)) return std::nullopt;
  try {
    std::ifstream in(record_file, std::ios::binary);
    const Json r = Json::parse(in);
    EpisodeVideoSettings settings{wanted.codec, wanted.fps, 1};
    const auto expected = kit::video::encoder_settings(video_options(settings, wanted.source_size));
    const bool same = r.at("frames") == wanted.frames && r.at("order") == hex(wanted.order) && r.at("codec") == wanted.codec &&
                      r.at("width") == wanted.source_size.first && r.at("height") == wanted.source_size.second &&
                      r.at("fps") == wanted.fps && r.at("gop") == expected.gop && r.at("crf") == expected.crf &&
                      r.at("preset") == expected.preset;
    // Records written before tiny pictures were scaled up name no video
    // size: theirs was the source's, even, and at least 64 on each side.
    const auto [w, h] = wanted.source_size;
    const auto video_size = kit::video::encodable_size(w, h);
    if (!same || r.value("video_width", std::max(64, w & ~1)) != video_size.first ||
        r.value("video_height", std::max(64, h & ~1)) != video_size.second) {
      return std::nullopt;
    }
    EncodedCamera found{video, {}};
    found.sample.frames = r.at("sample_frames");
    r.at("histograms").get_to(found.sample.histograms);
    return found;
  } catch (const Json::exception&) {
    return std::nullopt;  // a record that does not read: encode again
  }
}

}  // namespace studio
