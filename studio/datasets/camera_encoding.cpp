#include "studio/datasets/camera_encoding.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "kit/jpeg/jpeg.hpp"

namespace studio {
namespace {

constexpr int kStatFrames = 100;  // images sampled per episode for their statistics
constexpr int kStatPixels = 150;  // ... at about this many pixels across

// Pictures of one camera on their way to its encoder: a short queue, so
// the reader waits when the encoder is behind; an empty entry ends it.
class PictureQueue {
 public:
  void push(std::optional<std::string> jpeg) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.size() < kDepth; });
    queue_.push_back(std::move(jpeg));
    changed_.notify_all();
  }
  std::optional<std::string> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty(); });
    auto jpeg = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    return jpeg;
  }

 private:
  static constexpr size_t kDepth = 16;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<std::string>> queue_;
};

// One camera's thread: every picture of the queue into the video, until the end.
void encode_camera(const std::string& key, std::pair<int, int> size, long sample_every, PictureQueue& queue,
                   kit::video::Mp4Writer& video, ImageSampler& sampler) {
  std::exception_ptr error;
  const auto check_size = [&](int width, int height) {
    if (std::pair{width, height} != size) throw std::runtime_error("the images of " + key + " change size within the recording");
  };
  kit::jpeg::Yuv420Image yuv;
  for (long i = 0;; ++i) {
    const auto jpeg = queue.pop();
    if (!jpeg) break;
    if (error) continue;  // keep taking pictures so the reader never waits on us
    try {
      // A 4:2:0 JPEG (what the robot side sends) goes to the encoder
      // in its own planes, without a round trip through RGB.
      if (kit::jpeg::decode_yuv420(*jpeg, yuv)) {
        check_size(yuv.width, yuv.height);
        const uint8_t* planes[3] = {yuv.y.data(), yuv.cb.data(), yuv.cr.data()};
        const int strides[3] = {yuv.y_stride, yuv.c_stride, yuv.c_stride};
        video.add_jpeg_yuv420(planes, strides, yuv.width, yuv.height);
        if (i % sample_every == 0) sampler.add(kit::jpeg::decode_rgb(*jpeg));
      } else {
        const auto image = kit::jpeg::decode_rgb(*jpeg);
        check_size(image.width, image.height);
        video.add_rgb(image.rgb.data(), image.width * 3, image.width, image.height);
        if (i % sample_every == 0) sampler.add(image);
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
}

// Every frame's pictures, in order, onto the cameras' queues.
void read_pictures(const StagedEpisode& episode, long episode_index, const std::vector<std::string>& cameras,
                   std::map<std::string, PictureQueue>& queues) {
  for (size_t i = 0; i < episode.frames.size(); ++i) {
    const auto batch = episode.read_batch(episode.frames[i]);
    const LoggedFrame frame = read_logged_frame(*batch);  // pictures are views into the batch
    for (const auto& key : cameras) {
      const auto it = std::find_if(frame.images.begin(), frame.images.end(), [&](const auto& p) { return p.first == key; });
      if (it == frame.images.end()) {
        throw std::runtime_error("episode " + std::to_string(episode_index) + " frame " + std::to_string(i) + " has no image of " + key);
      }
      queues.at(key).push(std::string(it->second));
    }
  }
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

std::map<std::string, ImageSampler> encode_episode(const StagedEpisode& episode, long episode_index, const ExportLayout& layout,
                                                   const std::map<std::string, kit::video::Mp4Writer*>& videos) {
  const long length = static_cast<long>(episode.frames.size());
  const long sample_every = std::max<long>(1, (length + kStatFrames - 1) / kStatFrames);
  std::map<std::string, ImageSampler> samplers;
  std::map<std::string, PictureQueue> queues;
  for (const auto& key : layout.cameras) {
    samplers[key];
    queues[key];
  }
  std::vector<std::future<void>> encoders;
  for (const auto& key : layout.cameras) {
    encoders.push_back(std::async(std::launch::async, [&, key] {
      encode_camera(key, layout.source_size.at(key), sample_every, queues.at(key), *videos.at(key), samplers.at(key));
    }));
  }
  std::exception_ptr failure;
  try {
    read_pictures(episode, episode_index, layout.cameras, queues);
  } catch (...) {
    failure = std::current_exception();
  }
  for (auto& [key, queue] : queues) queue.push(std::nullopt);
  for (auto& e : encoders) {
    try {
      e.get();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return samplers;
}

}  // namespace studio
