#pragma once
// Frames the studio has not taken, kept on disk once the memory for them is
// full: one Arrow IPC stream file per frame, in a folder of this client's
// own that goes with it (a killed program's is removed by the next spool
// made beside it). The disk keeps 1 GiB free for everything else.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "kit/flight/array.hpp"

namespace tessaline {

class FrameSpool {
 public:
  // The folder is made inside `parent` at the first frame.
  explicit FrameSpool(std::filesystem::path parent);
  ~FrameSpool();  // removes the folder and what is still in it
  FrameSpool(const FrameSpool&) = delete;
  FrameSpool& operator=(const FrameSpool&) = delete;

  // The file the frame went to; nothing when the disk has no room for it or
  // the write failed (`why` says which).
  std::optional<std::filesystem::path> put(const std::shared_ptr<kit::flight::RecordBatch>& frame, std::string& why);
  // The frame of a file `put` wrote; throws when it cannot be read back.
  std::shared_ptr<kit::flight::RecordBatch> read(const std::filesystem::path& file) const;
  void remove(const std::filesystem::path& file);
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  bool made_ = false;
  uint64_t next_ = 0;
};

// Where spools go: $TESSALINE_SPOOL_DIR, else the system's temporary folder.
std::filesystem::path spool_parent();

}  // namespace tessaline
