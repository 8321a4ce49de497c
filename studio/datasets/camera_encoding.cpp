#include "studio/datasets/camera_encoding.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>

namespace studio {
namespace {

struct Picture {
  std::string jpeg;
  double timestamp;
};

// Pictures of one camera on their way to its encoder: a short queue, so
// the reader waits when the encoder is behind; an empty entry ends it.
class PictureQueue {
 public:
  void push(std::optional<Picture> picture) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.size() < kDepth; });
    queue_.push_back(std::move(picture));
    changed_.notify_all();
  }
  std::optional<Picture> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty(); });
    auto picture = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    return picture;
  }

 private:
  static constexpr size_t kDepth = 16;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<Picture>> queue_;
};

// One camera's thread: every picture of the queue into the video, until the end.
void encode_camera(PictureQueue& queue, EpisodeVideoWriter& video) {
  std::exception_ptr error;
  for (;;) {
    const auto picture = queue.pop();
    if (!picture) break;
    if (error) continue;  // keep taking pictures so the reader never waits on us
    try {
      video.add(picture->jpeg, picture->timestamp);
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
  video.finish();
}

// Every frame's pictures, in order, onto the cameras' queues.
void read_pictures(const StagedEpisode& episode, long episode_index, std::map<std::string, PictureQueue>& queues) {
  for (size_t i = 0; i < episode.frames.size(); ++i) {
    const auto batch = episode.read_batch(episode.frames[i]);
    const LoggedFrame frame = read_logged_frame(*batch);  // pictures are views into the batch
    for (auto& [key, queue] : queues) {
      const auto it = std::find_if(frame.images.begin(), frame.images.end(), [&](const auto& p) { return p.first == key; });
      if (it == frame.images.end()) {
        throw std::runtime_error("episode " + std::to_string(episode_index) + " frame " + std::to_string(i) + " has no image of " + key);
      }
      queue.push(Picture{std::string(it->second), episode.frames[i].frame.timestamp.value_or(0)});
    }
  }
}

}  // namespace

void encode_episode(const StagedEpisode& episode, long episode_index, const std::map<std::string, EpisodeVideoSettings>& cameras,
                    const std::filesystem::path& dir) {
  std::map<std::string, PictureQueue> queues;
  std::map<std::string, std::unique_ptr<EpisodeVideoWriter>> videos;
  for (const auto& [key, settings] : cameras) {
    queues[key];
    videos[key] = std::make_unique<EpisodeVideoWriter>(dir, key, settings);
  }
  std::vector<std::future<void>> encoders;
  for (const auto& [key, settings] : cameras) {
    encoders.push_back(std::async(std::launch::async, [&, key] { encode_camera(queues.at(key), *videos.at(key)); }));
  }
  std::exception_ptr failure;
  try {
    read_pictures(episode, episode_index, queues);
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
}

}  // namespace studio
