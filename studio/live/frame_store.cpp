#include "studio/live/frame_store.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "kit/files/atomic_file.hpp"
#include "kit/flight/flight.hpp"
#include "kit/flight/ipc.hpp"
#include "studio/live/logged_frame.hpp"
#include "kit/files/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;

namespace {

std::string episode_name(long index) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%06ld", index);
  return buf;
}


std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Temporary files of writes a crash interrupted.
void remove_temporaries(const fs::path& dir) {
  if (!fs::exists(dir)) return;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().filename().string().find(".tmp") != std::string::npos) fs::remove(e.path());
  }
}

}  // namespace

FrameStore::FrameStore(fs::path data_dir)
    : data_dir_(std::move(data_dir)),
      next_sequence_(static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                         std::chrono::system_clock::now().time_since_epoch())
                                                         .count())) {
  fs::create_directories(data_dir_ / "staging");
  fs::create_directories(data_dir_ / "export-jobs");
  remove_temporaries(data_dir_ / "staging");
  remove_temporaries(data_dir_ / "export-jobs");
}

std::vector<ExportJob> FrameStore::failed_exports(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  std::vector<ExportJob> jobs;
  const std::string prefix = kit::safe_name(user_id) + "-";
  for (const auto& e : fs::directory_iterator(data_dir_ / "export-jobs")) {
    if (!e.is_directory() || !e.path().filename().string().starts_with(prefix)) continue;
    // Only this user's: the rest of the name is the job's number.
    const std::string rest = e.path().filename().string().substr(prefix.size());
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos) continue;
    long episodes = 0;
    for (const auto& ep : fs::directory_iterator(e.path())) episodes += ep.is_directory();
    jobs.push_back({e.path(), episodes});
  }
  std::sort(jobs.begin(), jobs.end(), [](const ExportJob& a, const ExportJob& b) { return a.dir < b.dir; });
  return jobs;
}

fs::path FrameStore::user_dir(const std::string& user_id) const { return data_dir_ / "staging" / kit::safe_name(user_id); }

long FrameStore::ended_count(const fs::path& user) const {
  const fs::path ended = user / "ended";
  if (!fs::exists(ended)) return 0;
  long n = 0;
  for (const auto& e : fs::directory_iterator(ended)) n += e.is_directory();
  return n;
}

std::set<std::string>& FrameStore::frame_ids_of_open_episode(const std::string& user_id) {
  const auto found = frame_ids_.find(user_id);
  if (found != frame_ids_.end()) return found->second;
  std::set<std::string>& ids = frame_ids_[user_id];
  for (const auto& path : staged_stream_files(user_dir(user_id) / "current")) {
    const StagedStreamReader stream(path);
    for (size_t b = 0; b < stream.size(); ++b) {
      try {
        if (const auto id = read_logged_frame(*stream.batch(b)).frame_id) ids.insert(*id);
      } catch (const FrameSchemaError&) {  // staged only after the same check
      }
    }
  }
  return ids;
}

bool FrameStore::add_batch(const std::shared_ptr<kit::flight::RecordBatch>& batch) {
  const LoggedFrame frame = read_logged_frame(*batch);
  const std::string& user_id = frame.user_id;
  const std::string framed = kit::flight::ipc::FramedBatch(*batch);
  const std::string framed_schema = kit::flight::ipc::FramedSchema(*batch->schema());

  std::lock_guard lock(mutex_);
  if (frame.frame_id && frame_ids_of_open_episode(user_id).count(*frame.frame_id)) return false;
  try {
    auto& stream = open_streams_[user_id];
    if (!stream || stream->framed_schema() != framed_schema) {
      stream.reset();
      const fs::path current = user_dir(user_id) / "current";
      fs::create_directories(current);
      const bool fresh = staged_stream_files(current).empty();
      char name[40];
      std::snprintf(name, sizeof name, "frames_%020llu.arrows", next_sequence_++);
      stream = std::make_unique<StagedStreamWriter>(current / name, *batch->schema());
      if (fresh) listened_[user_id] = {name};
    }
    stream->append(framed);
  } catch (const std::system_error& e) {
    // The robot keeps the frame and sends it again; the operator page hears of it.
    if (e.code() == std::errc::no_space_on_device || e.code().value() == EDQUOT) {
      throw kit::flight::FlightExhausted(std::string("the studio's disk is full: ") + e.what());
    }
    throw;
  }
  if (frame.frame_id) frame_ids_[user_id].insert(*frame.frame_id);
  if (const auto it = listened_.find(user_id); listener_ && it != listened_.end()) {
    listener_->staged(it->second.key, !it->second.told, frame);
    it->second.told = true;
  }
  return true;
}

void FrameStore::listen(StagingListener& listener) {
  std::lock_guard lock(mutex_);
  listener_ = &listener;
}

void FrameStore::tell_closed(const std::string& user_id, bool ended) {
  const auto it = listened_.find(user_id);
  if (it == listened_.end()) return;
  const ListenedEpisode episode = it->second;
  listened_.erase(it);
  if (!listener_ || !episode.told) return;
  if (ended) {
    listener_->ended(episode.key);
  } else {
    listener_->dropped(episode.key);
  }
}

long FrameStore::frames_in_open_episode(const std::string& user_id) {
  open_streams_.erase(user_id);
  frame_ids_.erase(user_id);  // the episode closes: its frames' ids are of no further use
  return static_cast<long>(count_staged_frames(user_dir(user_id) / "current"));
}

EpisodeEnd FrameStore::end_episode(const std::string& user_id, const kit::json::Json& quality) {
  std::lock_guard lock(mutex_);
  const fs::path user = user_dir(user_id);
  const long index = ended_count(user);
  const long frames = frames_in_open_episode(user_id);
  if (frames == 0) {  // nothing to keep: no folder made
    tell_closed(user_id, false);
    fs::remove_all(user / "current");
    return {index, index, 0};
  }
  tell_closed(user_id, true);
  fs::create_directories(user / "ended");
  const fs::path target = user / "ended" / episode_name(index);
  fs::rename(user / "current", target);
  if (const auto task = tasks_.find(user_id); task != tasks_.end()) {
    kit::files::write_atomically(target / "TASK", task->second);
  }
  if (quality.is_object()) kit::files::write_atomically(target / "QUALITY", kit::json::to_wire(quality));
  return {index, index + 1, frames};
}

std::optional<long> FrameStore::label_last_episode(const std::string& user_id, const kit::json::Json& label) {
  std::lock_guard lock(mutex_);
  const fs::path user = user_dir(user_id);
  const long ended = ended_count(user);
  if (ended == 0) return std::nullopt;
  kit::files::write_atomically(user / "ended" / episode_name(ended - 1) / "LABEL", kit::json::to_wire(label));
  return ended;
}

void FrameStore::set_task(const std::string& user_id, const std::string& task) {
  std::lock_guard lock(mutex_);
  tasks_[user_id] = task;
}

long FrameStore::set_aside_open_episode(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  return set_aside_locked(user_id);
}

long FrameStore::set_aside_locked(const std::string& user_id) {
  const fs::path current = user_dir(user_id) / "current";
  const long frames = frames_in_open_episode(user_id);
  tell_closed(user_id, false);
  if (frames == 0) return 0;
  const fs::path aside = data_dir_ / "interrupted" / (kit::safe_name(user_id) + "-" + std::to_string(next_sequence_++));
  fs::create_directories(aside.parent_path());
  fs::rename(current, aside);
  return frames;
}

long FrameStore::reset_episode(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const long cleared = frames_in_open_episode(user_id);
  tell_closed(user_id, false);
  fs::remove_all(user_dir(user_id) / "current");
  return cleared;
}

size_t FrameStore::staged_frames(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  return count_staged_frames(user_dir(user_id) / "current");
}

std::optional<ExportJob> FrameStore::take_for_export(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  return take_locked(user_id);
}

std::optional<ExportJob> FrameStore::begin_session(const std::string& user_id, const std::string& session_id) {
  std::lock_guard lock(mutex_);
  // Beside the staging, not in it: the user's last session.
  const fs::path marker = data_dir_ / "sessions" / kit::safe_name(user_id);
  const std::string before = fs::exists(marker) ? read_text(marker) : "";
  std::optional<ExportJob> left;
  if (session_id.empty() || session_id != before) {
    left = take_locked(user_id);
  } else {
    set_aside_locked(user_id);
  }
  fs::create_directories(marker.parent_path());
  kit::files::write_atomically(marker, session_id);
  return left;
}

std::optional<ExportJob> FrameStore::take_locked(const std::string& user_id) {
  const fs::path user = user_dir(user_id);
  set_aside_locked(user_id);  // an episode never ended is no part of a dataset
  const long episodes = ended_count(user);
  if (episodes == 0) return std::nullopt;
  ExportJob job;
  job.dir = data_dir_ / "export-jobs" / (kit::safe_name(user_id) + "-" + std::to_string(next_sequence_++));
  fs::rename(user / "ended", job.dir);
  job.episodes = episodes;
  return job;
}

}  // namespace studio
