#pragma once
// Adding one dataset's episodes after another's: the source's tables are
// written again as new files of the target with their numbers moved on
// (episode index by the target's episodes, frame index by its frames, task
// index to the target's numbering of the same text, file numbers to the
// target's next free files), its videos copied whole as new files (packets
// copied, never encoded again, so the episodes' timestamps in them hold),
// the statistics merged, the labels and quality records moved along, and
// info.json updated — written aside and switched in at once.
#include <filesystem>
#include <stdexcept>
#include <string>

namespace studio {

// The two datasets cannot be one: another frame rate, or features that
// differ (named in the message).
struct DatasetsDiffer : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct AppendedDataset {
  long episodes = 0;
  long frames = 0;
};

// `target` must not be in use by anything else (the command works on a
// copy of its own); `source` is only read.
AppendedDataset append_dataset(const std::filesystem::path& target, const std::filesystem::path& source);

}  // namespace studio
