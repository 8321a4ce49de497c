#pragma once
// Deleting an episode from an exported dataset: its rows leave the data
// and episodes tables, the episodes after it move down by one (episode
// index) and by its length (frame index across the dataset), the dataset's
// statistics are merged again from the episodes that remain, and info.json
// is updated — all written aside and switched in at once. The episode's
// frames stay in the video file they share with other episodes, no longer
// referenced: rewriting a video would mean encoding it again.
#include <filesystem>
#include <stdexcept>
#include <string>

namespace studio {

struct DeletedEpisode {
  long frames;         // the episode's length
  long episodes_left;
};

// The last episode of a dataset is not deleted this way (a dataset of no
// episodes has no statistics): remove the dataset's folder instead.
struct LastEpisode : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws DatasetNotFound for an unknown dataset or episode.
DeletedEpisode delete_episode(const std::filesystem::path& data_dir, const std::string& repo_id, long episode);

}  // namespace studio
