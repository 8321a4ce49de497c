#pragma once
// Deleting an episode from a dataset: its rows leave the data and episodes
// tables, the episodes after it move down by one (episode index) and by its
// length (frame index across the dataset), each camera's video file that
// held it is written again without its frames — the others' packets copied
// where the cut ends before a key frame, else encoded again — (the later
// episodes of that file start earlier by as much) or removed when it held nothing else, as
// is a table file left without rows; tasks no episode uses any more are
// dropped and the rest renumbered; the dataset's statistics are merged
// again from the episodes that remain, and info.json is updated — all
// written aside and switched in at once.
#include <filesystem>
#include <functional>
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

// Throws DatasetNotFound for an unknown episode. Waits while another change
// to a dataset of the same folder is under way (`on_wait` says so first).
DeletedEpisode delete_episode(const std::filesystem::path& dataset, long episode, const std::function<void()>& on_wait = {});

}  // namespace studio
