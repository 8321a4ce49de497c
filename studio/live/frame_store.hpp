#pragma once
// Frames staged on disk as they arrive, per user and episode:
//   DATA/staging/<user>/current/frames_<seq>.arrows  the open episode
//   DATA/staging/<user>/ended/<nnnnnn>/...            ended episodes (TASK: its task)
// An episode is one append-only stream (a new file only when the frames'
// schema changes, or after a restart); a frame is checked against the
// logged-record schema first and is on disk before its put is answered.
// Frames of an episode that never ended are kept apart under
// DATA/interrupted/, never exported. Thread-safe.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kit/flight/array.hpp"
#include "kit/json/text.hpp"
#include "studio/live/staged_stream.hpp"
#include "studio/live/staging_listener.hpp"

namespace studio {

struct EpisodeEnd {
  long episode_index;
  long total_episodes;
  long frames = 0;  // staged in the episode that ended
};

struct ExportJob {
  std::filesystem::path dir;  // holds episode directories 000000, 000001, ...
  long episodes = 0;
};

class FrameStore {
 public:
  explicit FrameStore(std::filesystem::path data_dir);

  // Stages one received batch for the user named in its "user_id" column;
  // false when the open episode holds that frame already (its "frame_id"
  // was staged before: the robot sent it again, not knowing it arrived).
  // Throws FrameSchemaError (an std::invalid_argument) for a batch that is
  // not a logged frame, kit::flight::FlightExhausted when the disk is full;
  // nothing is staged then.
  bool add_batch(const std::shared_ptr<kit::flight::RecordBatch>& batch);

  // The task the user's episodes are recorded for, from now on.
  void set_task(const std::string& user_id, const std::string& task);
  // A new session starts: frames still open from an earlier one, which
  // ended without ending its episode, are moved under DATA/interrupted/.
  long set_aside_open_episode(const std::string& user_id);
  // A robot's offer: the session `session_id` (empty: each offer a new one)
  // runs (the last one is kept in DATA/sessions/<user>). When another session had ended episodes it never exported (it
  // died), they are moved out of staging into an export job of their own,
  // which is returned: they never join this session's export.
  std::optional<ExportJob> begin_session(const std::string& user_id, const std::string& session_id);

  // `quality` (a checked EpisodeQuality record, or null) is kept beside
  // the episode's frames and exported with it.
  EpisodeEnd end_episode(const std::string& user_id, const kit::json::Json& quality = nullptr);
  // The operator's verdict on the user's last ended episode of this session
  // ({label, note}, kept beside its frames and exported with it); its number
  // in the session from 1, or nothing when no episode has ended yet.
  std::optional<long> label_last_episode(const std::string& user_id, const kit::json::Json& label);
  long reset_episode(const std::string& user_id);  // frames discarded
  size_t staged_frames(const std::string& user_id);  // in the open episode

  // Moves the user's ended episodes (and a non-empty open one, marked
  // incomplete) out of staging into a job directory for the exporter.
  std::optional<ExportJob> take_for_export(const std::string& user_id);

  // Export jobs of the user still waiting in DATA/export-jobs/ (their
  // export failed or the studio stopped during it), oldest first.
  std::vector<ExportJob> failed_exports(const std::string& user_id);

  const std::filesystem::path& data_dir() const { return data_dir_; }

  // Told of every episode's frames from now on (before frames arrive; it outlives the store's use).
  void listen(StagingListener& listener);

 private:
  std::filesystem::path user_dir(const std::string& user_id) const;
  long ended_count(const std::filesystem::path& user) const;

  std::filesystem::path data_dir_;
  long set_aside_locked(const std::string& user_id);
  std::optional<ExportJob> take_locked(const std::string& user_id);
  long frames_in_open_episode(const std::string& user_id);  // closes its stream
  void tell_closed(const std::string& user_id, bool ended);


  std::mutex mutex_;  // serialises changes to staging directories
  std::map<std::string, std::string> tasks_;  // guarded by mutex_
  std::map<std::string, std::unique_ptr<StagedStreamWriter>> open_streams_;  // guarded by mutex_
  // The frame ids of each user's open episode, read from its staged frames
  // when first needed (after a restart too); guarded by mutex_.
  std::map<std::string, std::set<std::string>> frame_ids_;
  std::set<std::string>& frame_ids_of_open_episode(const std::string& user_id);
  // Each user's open episode as the listener knows it (guarded by mutex_).
  struct ListenedEpisode {
    std::string key;
    bool told = false;  // of a frame
  };
  StagingListener* listener_ = nullptr;
  std::map<std::string, ListenedEpisode> listened_;
  unsigned long long next_sequence_;  // guarded by mutex_; starts from the clock so restarts never reuse names
};

}  // namespace studio
