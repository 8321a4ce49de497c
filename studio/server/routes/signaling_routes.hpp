#pragma once
// /webrtc/offer, /webrtc/answer, /webrtc/ice: the robot's offer, the
// browser's answer and both sides' candidates, relayed per user, with the
// bounds that keep one client from filling the relay.
#include "studio/live/frame_store.hpp"
#include "studio/live/live_feed.hpp"
#include "studio/live/signaling.hpp"
#include "studio/server/router.hpp"
#include "studio/server/session_exports.hpp"

namespace studio {

class SignalingRoutes {
 public:
  SignalingRoutes(Signaling& relay, FrameStore& frames, LiveFeed& live, SessionExports& exports)
      : relay_(relay), frames_(frames), live_(live), exports_(exports) {}
  void register_on(Router& router);

 private:
  void put_offer(const Call& call, httplib::Response& res);
  void put_answer(const Call& call, httplib::Response& res);
  void add_candidate(const Call& call, httplib::Response& res);

  Signaling& relay_;
  FrameStore& frames_;
  LiveFeed& live_;
  SessionExports& exports_;
};

}  // namespace studio
