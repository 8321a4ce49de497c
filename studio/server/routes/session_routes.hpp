#pragma once
// The recording session's API: an episode ended or reset, the task named,
// the live feed polled, the session ended (its episodes exported), failed
// exports retried, the export's state asked.
#include "studio/live/frame_store.hpp"
#include "studio/live/live_feed.hpp"
#include "studio/server/router.hpp"
#include "studio/server/session_exports.hpp"

namespace studio {

class SessionRoutes {
 public:
  SessionRoutes(FrameStore& frames, LiveFeed& live, SessionExports& exports) : frames_(frames), live_(live), exports_(exports) {}
  void register_on(Router& router);

 private:
  void end_episode(const Call& call, httplib::Response& res);
  void set_task(const Call& call, httplib::Response& res);
  void reset_episode(const Call& call, httplib::Response& res);
  void label_episode(const Call& call, httplib::Response& res);
  void end_session(const Call& call, httplib::Response& res);
  void retry_exports(const Call& call, httplib::Response& res);

  FrameStore& frames_;
  LiveFeed& live_;
  SessionExports& exports_;
};

}  // namespace studio
