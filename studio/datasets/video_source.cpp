#include "studio/datasets/video_source.hpp"

#include <algorithm>
#include <set>

#include "studio/datasets/camera_encoding.hpp"

namespace studio {
namespace fs = std::filesystem;

VideoSource::VideoSource(fs::path data_dir, const ExportLayout& layout, AwaitLiveVideo await_live)
    : data_dir_(std::move(data_dir)), layout_(layout), await_live_(std::move(await_live)) {}

EpisodeVideos VideoSource::for_episode(const fs::path& dir, const StagedEpisode& episode, long episode_index) {
  const std::string key = episode_key(dir);
  keys_.push_back(key);
  const fs::path encoded = encoded_dir(data_dir_, key);
  std::vector<double> times;
  times.reserve(episode.frames.size());
  for (const auto& f : episode.frames) times.push_back(f.frame.timestamp.value_or(0));
  std::map<std::string, EncodingWanted> wanted;
  for (const auto& camera : layout_.cameras) {
    wanted[camera] = {layout_.codec.at(camera), layout_.source_size.at(camera), layout_.fps, static_cast<long>(times.size()),
                      frame_order(times)};
  }
  if (await_live_) await_live_(key);
  EpisodeVideos videos;
  std::map<std::string, EpisodeVideoSettings> missing;
  const int threads = encoder_threads(layout_.cameras.size());
  const auto take = [&](const std::string& camera) {
    auto found = find_encoded(encoded, camera, wanted.at(camera));
    if (!found) return false;
    videos.files[camera] = found->video;
    videos.samples[camera] = found->sample;
    return true;
  };
  for (const auto& camera : layout_.cameras) {
    if (!take(camera)) missing[camera] = {layout_.codec.at(camera), layout_.fps, threads};
  }
  if (missing.empty()) {
    ++encoded_before_;
    return videos;
  }
  encode_episode(episode, episode_index, missing, encoded);
  for (const auto& [camera, settings] : missing) {
    if (!take(camera)) {
      throw std::runtime_error("the video of " + camera + " in episode " + std::to_string(episode_index) +
                               " was encoded but does not match its frames");
    }
  }
  return videos;
}

void VideoSource::forget() const {
  for (const auto& key : keys_) {
    std::error_code ec;
    fs::remove_all(encoded_dir(data_dir_, key), ec);  // left over: swept at the next start
  }
}

void sweep_encoded_videos(const fs::path& data_dir) {
  const fs::path encoded = data_dir / "encoded";
  if (!fs::exists(encoded)) return;
  std::set<std::string> wanted;
  const auto note = [&](const fs::path& episode) {
    std::error_code not_dir;
    if (!fs::is_directory(episode, not_dir)) return;
    if (const std::string key = episode_key(episode); !key.empty()) wanted.insert(encoded_dir(data_dir, key).filename().string());
  };
  std::error_code ec;
  for (const auto& user : fs::directory_iterator(data_dir / "staging", ec)) {
    note(user.path() / "current");
    for (const auto& e : fs::directory_iterator(user.path() / "ended", ec)) note(e.path());
  }
  for (const auto& job : fs::directory_iterator(data_dir / "export-jobs", ec)) {
    for (const auto& e : fs::directory_iterator(job.path(), ec)) note(e.path());
  }
  for (const auto& e : fs::directory_iterator(encoded)) {
    if (!wanted.count(e.path().filename().string())) fs::remove_all(e.path());
  }
}

}  // namespace studio
