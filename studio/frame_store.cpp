#include "studio/frame_store.hpp"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "kit/files/atomic_file.hpp"
#include "kit/flight/ipc.hpp"
#include "studio/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;

namespace {

std::string episode_name(long index) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06ld", index);
  return buf;
}

size_t count_frames(const fs::path& dir) {
  if (!fs::exists(dir)) return 0;
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.path().extension() == ".arrows";
  return n;
}

}  // namespace

FrameStore::FrameStore(fs::path data_dir)
    : data_dir_(std::move(data_dir)),
      next_sequence_(static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                         std::chrono::system_clock::now().time_since_epoch())
                                                         .count())) {
  fs::create_directories(data_dir_ / "staging");
  fs::create_directories(data_dir_ / "export-jobs");
}

fs::path FrameStore::user_dir(const std::string& user_id) const { return data_dir_ / "staging" / safe_name(user_id); }

long FrameStore::ended_count(const fs::path& user) const {
  const fs::path ended = user / "ended";
  if (!fs::exists(ended)) return 0;
  long n = 0;
  for (const auto& e : fs::directory_iterator(ended)) n += e.is_directory();
  return n;
}

void FrameStore::add_batch(const std::shared_ptr<kit::flight::RecordBatch>& batch) {
  const auto user_col = batch->GetColumnByName("user_id");
  if (!user_col || user_col->type->id != kit::flight::TypeId::STRING) {
    throw std::invalid_argument("batch has no \"user_id\" string column");
  }
  if (!batch->GetColumnByName("state")) throw std::invalid_argument("batch has no \"state\" column");
  if (batch->num_rows() < 1 || !user_col->IsValid(0)) throw std::invalid_argument("batch has no user_id value");
  const std::string user_id(user_col->GetView(0));
  const std::string bytes = kit::flight::ipc::WriteStream(batch->schema(), {batch});

  std::lock_guard lock(mutex_);
  const fs::path current = user_dir(user_id) / "current";
  fs::create_directories(current);
  char name[32];
  std::snprintf(name, sizeof name, "frame_%012llu.arrows", next_sequence_++);
  kit::files::write_atomically(current / name, bytes);
}

EpisodeEnd FrameStore::end_episode(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const fs::path user = user_dir(user_id);
  fs::create_directories(user / "ended");
  const long index = ended_count(user);
  const fs::path target = user / "ended" / episode_name(index);
  if (fs::exists(user / "current")) {
    fs::rename(user / "current", target);
  } else {
    fs::create_directories(target);  // an episode without frames still counts
  }
  return {index, index + 1};
}

long FrameStore::reset_episode(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const fs::path current = user_dir(user_id) / "current";
  const long cleared = static_cast<long>(count_frames(current));
  fs::remove_all(current);
  return cleared;
}

size_t FrameStore::staged_frames(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  return count_frames(user_dir(user_id) / "current");
}

std::optional<ExportJob> FrameStore::take_for_export(const std::string& user_id) {
  std::lock_guard lock(mutex_);
  const fs::path user = user_dir(user_id);
  long episodes = ended_count(user);
  const bool open_frames = count_frames(user / "current") > 0;
  if (episodes == 0 && !open_frames) return std::nullopt;
  ExportJob job;
  job.dir = data_dir_ / "export-jobs" / (safe_name(user_id) + "-" + std::to_string(next_sequence_++));
  if (episodes > 0) {
    fs::rename(user / "ended", job.dir);
  } else {
    fs::create_directories(job.dir);
  }
  if (open_frames) {
    const fs::path last = job.dir / episode_name(episodes++);
    fs::rename(user / "current", last);
    std::ofstream(last / "INCOMPLETE") << "frames of an episode that was never ended\n";
  }
  job.episodes = episodes;
  return job;
}

}  // namespace studio
