#include "studio/datasets/live_encoder.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <thread>

#include "studio/datasets/episode_video.hpp"

namespace studio {
namespace fs = std::filesystem;

namespace {

struct Picture {
  std::string jpeg;
  double timestamp = 0;
};

// This thread, and the threads it starts (an encoder's), run only when
// nothing else wants the cores.
void lower_priority() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
  sched_param none{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
}

}  // namespace

struct LiveEncoder::Episode {
  std::string key;
  fs::path dir;
  EpisodeVideoSettings settings;
  std::vector<std::string> cameras;
  // Frames waiting to be put in capture order: their pictures, camera by camera.
  std::multimap<double, std::vector<std::string>> window;
  bool emitted = false;
  double last = 0;  // capture time of the last frame handed on
  std::vector<std::deque<Picture>> queues;  // per camera
  std::vector<std::thread> threads;
  bool ended = false, given_up = false;
  size_t running = 0;  // camera threads not done
};

LiveEncoder::LiveEncoder(LiveEncoderOptions options) : options_(std::move(options)) {}

LiveEncoder::~LiveEncoder() {
  std::vector<std::shared_ptr<Episode>> all;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [key, e] : episodes_) all.push_back(e);
    all.insert(all.end(), finished_.begin(), finished_.end());
    changed_.notify_all();
  }
  for (auto& e : all) {
    for (auto& t : e->threads) {
      if (t.joinable()) t.join();
    }
  }
}

void LiveEncoder::staged(const std::string& episode_key, bool first, const LoggedFrame& frame) {
  if (first) {
    reap();
    const double fps = frame.fps.value_or(30);
    if (frame.images.empty() || !(fps >= 1 && fps <= 1000)) return;  // nothing to encode, or no rate to encode at
    auto e = std::make_shared<Episode>();
    e->key = episode_key;
    e->dir = encoded_dir(options_.data_dir, episode_key);
    for (const auto& [camera, jpeg] : frame.images) e->cameras.push_back(camera);
    e->settings.codec = options_.codec;
    e->settings.fps = static_cast<int>(std::lround(fps));
    e->settings.threads = encoder_threads(e->cameras.size());  // as an export encodes
    e->queues.resize(e->cameras.size());
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    const auto encoding = std::count_if(episodes_.begin(), episodes_.end(), [](const auto& kv) { return !kv.second->given_up; });
    if (static_cast<size_t>(encoding) >= options_.max_episodes) {  // the machine is behind: this one waits for the export
      ++counts_.given_up;
      return;
    }
    episodes_[episode_key] = e;
    e->running = e->cameras.size();
    for (size_t c = 0; c < e->cameras.size(); ++c) e->threads.emplace_back(&LiveEncoder::run_camera, this, e, c);
  }
  std::lock_guard lock(mutex_);
  const auto found = episodes_.find(episode_key);
  if (found == episodes_.end() || found->second->given_up || found->second->ended) return;
  Episode& e = *found->second;
  const double at = frame.timestamp.value_or(0);
  std::vector<std::string> pictures;
  size_t bytes = 0;
  for (const auto& camera : e.cameras) {
    const auto it = std::find_if(frame.images.begin(), frame.images.end(), [&](const auto& p) { return p.first == camera; });
    if (it == frame.images.end()) return give_up(e);  // the export says which picture is missing
    pictures.emplace_back(it->second);
    bytes += it->second.size();
  }
  if ((e.emitted && at < e.last) || waiting_bytes_ + bytes > options_.memory_limit) return give_up(e);
  waiting_bytes_ += bytes;
  e.window.emplace(at, std::move(pictures));  // after any of the same time: arrival order breaks ties, as the export's sort
  while (e.window.size() > options_.reorder_frames) emit_oldest(e);
}

void LiveEncoder::emit_oldest(Episode& e) {
  auto oldest = e.window.begin();
  for (size_t c = 0; c < e.cameras.size(); ++c) e.queues[c].push_back({std::move(oldest->second[c]), oldest->first});
  e.emitted = true;
  e.last = oldest->first;
  e.window.erase(oldest);
  changed_.notify_all();
}

void LiveEncoder::ended(const std::string& episode_key) {
  std::lock_guard lock(mutex_);
  const auto found = episodes_.find(episode_key);
  if (found == episodes_.end() || found->second->given_up) return;
  Episode& e = *found->second;
  while (!e.window.empty()) emit_oldest(e);
  e.ended = true;
  changed_.notify_all();
}

void LiveEncoder::dropped(const std::string& episode_key) {
  std::lock_guard lock(mutex_);
  const auto found = episodes_.find(episode_key);
  if (found == episodes_.end() || found->second->given_up) return;
  found->second->given_up = true;
  release(*found->second);
}

void LiveEncoder::give_up(Episode& e) {
  if (e.given_up) return;
  e.given_up = true;
  ++counts_.given_up;
  release(e);
}

void LiveEncoder::release(Episode& e) {
  for (const auto& [at, pictures] : e.window) {
    for (const auto& p : pictures) waiting_bytes_ -= p.size();
  }
  e.window.clear();
  for (auto& queue : e.queues) {
    for (const auto& p : queue) waiting_bytes_ -= p.jpeg.size();
    queue.clear();
  }
  changed_.notify_all();
}

void LiveEncoder::run_camera(std::shared_ptr<Episode> e, size_t camera) {
  lower_priority();
  bool ok = true, complete = false;
  std::unique_ptr<EpisodeVideoWriter> video;
  try {
    video = std::make_unique<EpisodeVideoWriter>(e->dir, e->cameras[camera], e->settings);
  } catch (const std::exception&) {
    ok = false;
  }
  for (;;) {
    Picture picture;
    {
      std::unique_lock lock(mutex_);
      if (!ok) give_up(*e);
      auto& queue = e->queues[camera];
      changed_.wait(lock, [&] { return stopping_ || e->given_up || e->ended || !queue.empty(); });
      if (stopping_ || e->given_up) break;
      if (queue.empty()) {  // ended, and every picture in
        complete = true;
        break;
      }
      picture = std::move(queue.front());
      queue.pop_front();
      waiting_bytes_ -= picture.jpeg.size();
    }
    try {
      video->add(picture.jpeg, picture.timestamp);
    } catch (const std::exception&) {
      ok = false;  // a picture the export will name when it encodes the episode
    }
  }
  if (complete) {
    try {
      video->finish();
    } catch (const std::exception&) {
      ok = false;
    }
  }
  video.reset();
  bool last = false, remove = false;
  {
    std::lock_guard lock(mutex_);
    if (!ok) give_up(*e);
    last = --e->running == 0;
    remove = last && e->given_up;
  }
  if (!last) return;
  std::error_code ec;
  if (remove) fs::remove_all(e->dir, ec);  // left over if this fails: swept at the next start
  std::lock_guard lock(mutex_);
  if (!e->given_up && e->ended && !stopping_) ++counts_.finished;
  episodes_.erase(e->key);
  finished_.push_back(e);
  changed_.notify_all();
}

void LiveEncoder::reap() {
  std::vector<std::shared_ptr<Episode>> done;
  {
    std::lock_guard lock(mutex_);
    done.swap(finished_);
  }
  for (auto& e : done) {
    for (auto& t : e->threads) t.join();
  }
}

void LiveEncoder::await(const std::string& episode_key) {
  reap();
  std::unique_lock lock(mutex_);
  const auto found = episodes_.find(episode_key);
  if (found == episodes_.end()) return;
  if (!found->second->ended) give_up(*found->second);  // an episode that never ended is encoded from its staging
  changed_.wait(lock, [&] { return !episodes_.count(episode_key); });
}

LiveEncoder::Counts LiveEncoder::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

}  // namespace studio
