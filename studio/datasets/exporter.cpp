#include "studio/datasets/exporter.hpp"

#include <algorithm>

#include "kit/files/safe_name.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_metadata.hpp"
#include "studio/datasets/dataset_writers.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/datasets/episode_append.hpp"
#include "studio/datasets/export_layout.hpp"
#include "studio/datasets/staged_episode.hpp"
#include "studio/datasets/video_source.hpp"

namespace studio {
namespace fs = std::filesystem;

namespace {

// The job's episodes in order. Frames of an attempt that never ended are
// kept apart under DATA/interrupted/, never in a dataset.
std::vector<fs::path> ended_episodes(const ExportJob& job, const fs::path& data_dir, ExportResult& result) {
  std::vector<fs::path> staged;
  for (const auto& e : fs::directory_iterator(job.dir)) {
    if (!e.is_directory()) continue;
    if (fs::exists(e.path() / "INCOMPLETE")) {
      const fs::path aside = data_dir / "interrupted" / (job.dir.filename().string() + "-" + e.path().filename().string());
      fs::create_directories(aside.parent_path());
      fs::rename(e.path(), aside);
      ++result.episodes_set_aside;
      continue;
    }
    staged.push_back(e.path());
  }
  std::sort(staged.begin(), staged.end());
  return staged;
}

}  // namespace

fs::path dataset_dir(const fs::path& data_dir, const std::string& repo_id) { return data_dir / dataset_path(repo_id); }

std::string dataset_path(const std::string& repo_id) { return "datasets/" + kit::safe_name(repo_id); }

void recover_exports(const fs::path& data_dir) {
  recover_dataset_changes(data_dir);
  sweep_encoded_videos(data_dir);
}

ExportResult export_dataset(const ExportJob& job, const fs::path& data_dir, const ExportRequest& request,
                            const ExportProgress& progress) {
  ExportResult result;
  result.dataset_dir = dataset_dir(data_dir, request.repo_id);
  const DatasetsLock lock(result.dataset_dir);
  const std::vector<fs::path> staged = ended_episodes(job, data_dir, result);
  // Everything is checked before anything is encoded: the episodes agree
  // with each other and, when appending, with the dataset's features.
  DatasetState dataset = DatasetState::read(result.dataset_dir);
  const ExportLayout layout = settle_layout(staged, request, dataset);
  DatasetChange change(result.dataset_dir);
  if (layout.episodes > 0) {
    DatasetWriters writers(change, result.dataset_dir, layout);
    VideoSource videos(data_dir, layout, request.await_live_video);
    EpisodeAppender appender(writers, layout, dataset, videos);
    long done = 0;
    kit::json::Json labels = kit::json::Json::object(), quality = kit::json::Json::object();
    for (const auto& dir : staged) {
      const StagedEpisode episode = load_staged_episode(dir);
      if (episode.frames.empty()) continue;  // an episode ended before its first frame: nothing to keep
      if (!episode.label.is_null()) labels[std::to_string(dataset.next_episode)] = episode.label;
      if (!episode.quality.is_null()) quality[std::to_string(dataset.next_episode)] = episode.quality;
      result.frames_added += appender.append(dir, episode);
      ++result.episodes_added;
      if (progress) progress(++done, static_cast<long>(staged.size()));
    }
    writers.finish();
    write_metadata(change, dataset, layout, request,
                   {result.episodes_added, result.frames_added, std::move(appender.stats()), std::move(labels),
                    std::move(quality)});
    change.consume(job.dir);  // its episodes are in: a retry after a crash must not add them again
    change.commit();
    result.episodes_encoded_before = videos.encoded_before();
    videos.forget();
  }
  fs::remove_all(job.dir);
  return result;
}

}  // namespace studio
