#pragma once
// One MP4 made of others by copying their packets, without decoding: each
// part (an MP4 of Mp4Writer's kind, starting on a key frame) follows the
// last, its frames at k/fps on from where the file stood; a run of frames
// can be left out where the frame after it is a key frame. Parts join only
// when their codec, size and codec headers are the first part's. The file
// is started at the first part and valid once `close` returned.
#include <cstdint>
#include <filesystem>
#include <memory>

#include "kit/video/mp4_writer.hpp"

namespace kit::video {

class Mp4Joiner {
 public:
  Mp4Joiner(std::filesystem::path path, int fps);
  ~Mp4Joiner();
  Mp4Joiner(const Mp4Joiner&) = delete;
  Mp4Joiner& operator=(const Mp4Joiner&) = delete;

  // Whether `part` can follow what is in (always, while nothing is). Throws VideoError for an unreadable part.
  bool takes(const std::filesystem::path& part) const;
  // Copies every packet of `part` in, but those of frames [skip, skip +
  // drop); returns the frames copied. Throws VideoError, also for a part
  // `takes` refuses or one whose first frame copied is no key frame.
  long append(const std::filesystem::path& part, long skip = 0, long drop = 0);
  // Whether `part` can lose frames [skip, skip + drop) that way: the frame
  // after them (if any) is a key frame, so nothing kept refers to them.
  static bool cuts_cleanly(const std::filesystem::path& part, long skip, long drop);
  long frames() const { return frames_; }
  int64_t bytes() const;
  // Writes the index. Throws VideoError, also when no part went in.
  void close();

 private:
  struct State;
  std::unique_ptr<State> state_;
  long frames_ = 0;
};

}  // namespace kit::video
