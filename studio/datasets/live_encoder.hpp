#pragma once
// Encodes each episode's camera videos while it records, so an export only
// copies them in. Every camera of an open episode has a thread of its own
// at the machine's lowest priority (SCHED_IDLE, so the robot's loop, the
// live video and the studio's requests always come first): it falls behind
// when the cores are busy and catches up when they are not. Frames are
// staged first and never wait for it. Workers deliver frames a little out
// of order: they are put back in capture order through a short window.
// The live encoding of an episode is given up (and the export encodes it
// from the staged pictures, as it would without this) when its pictures
// waiting for the encoders would pass the memory limit, when a frame comes
// later than the window allows, or when a picture cannot be encoded; and
// an episode is not encoded live at all while too many others still are.
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "studio/live/staging_listener.hpp"

namespace studio {

struct LiveEncoderOptions {
  std::filesystem::path data_dir;
  std::string codec = "av1";                // of a new dataset; an export to another codec encodes again
  size_t memory_limit = size_t{96} << 20;   // pictures waiting for the encoders, all episodes together
  size_t reorder_frames = 90;               // the capture-order window
  // Episodes encoded at once (each camera's encoder holds tens of MiB):
  // an episode that starts while this many are still encoding is encoded at export.
  size_t max_episodes = 3;
};

class LiveEncoder final : public StagingListener {
 public:
  explicit LiveEncoder(LiveEncoderOptions options);
  ~LiveEncoder() override;  // stops the encoders: what is unfinished is encoded at export
  LiveEncoder(const LiveEncoder&) = delete;
  LiveEncoder& operator=(const LiveEncoder&) = delete;

  void staged(const std::string& episode_key, bool first, const LoggedFrame& frame) override;
  void ended(const std::string& episode_key) override;
  void dropped(const std::string& episode_key) override;

  // Returns once nothing encodes that episode any more.
  void await(const std::string& episode_key);

  struct Counts {
    long finished = 0;   // episodes whose videos are complete
    long given_up = 0;
  };
  Counts counts() const;

 private:
  struct Episode;
  void give_up(Episode& episode);        // mutex_ held
  void release(Episode& episode);        // mutex_ held: pictures waiting dropped
  void emit_oldest(Episode& episode);    // mutex_ held
  void run_camera(std::shared_ptr<Episode> episode, size_t camera);
  void reap();                           // joins the threads of finished episodes

  LiveEncoderOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<Episode>> episodes_;  // being encoded, by key
  std::vector<std::shared_ptr<Episode>> finished_;            // threads to join
  size_t waiting_bytes_ = 0;
  bool stopping_ = false;
  Counts counts_;
};

}  // namespace studio
