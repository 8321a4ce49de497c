#include "studio/server/routes/signaling_routes.hpp"

namespace studio {
namespace {

constexpr size_t kMaxOfferBytes = 256 << 10;
constexpr size_t kMaxNegotiations = 1000;  // users with an offer waiting, all together
// A real ICE candidate line is under 1 KB, and a negotiation trickles a few dozen.
constexpr size_t kMaxCandidateBytes = 2048;
constexpr size_t kMaxCandidates = 200;  // per negotiation and direction

}  // namespace

void SignalingRoutes::register_on(Router& router) {
  router.post("/webrtc/offer", [this](const Call& call, httplib::Response& res) { put_offer(call, res); });
  router.get("/webrtc/offer", [this](const Call& call, httplib::Response& res) {
    const auto offer = relay_.offer(call.user());
    send_json(res, offer ? *offer : Json{{"offerId", nullptr}});
  });
  router.post("/webrtc/answer", [this](const Call& call, httplib::Response& res) { put_answer(call, res); });
  router.get("/webrtc/answer", [this](const Call& call, httplib::Response& res) {
    const auto answer = relay_.answer(call.user());
    send_json(res, answer ? *answer : Json{{"sdp", ""}, {"type", nullptr}});
  });
  router.post("/webrtc/ice", [this](const Call& call, httplib::Response& res) { add_candidate(call, res); });
  router.get("/webrtc/ice", [this](const Call& call, httplib::Response& res) {
    auto [list, next] = relay_.candidates(call.user(), call.param("receiver"), call.since());
    send_json(res, {{"candidates", std::move(list)}, {"nextSince", next}});
  });
}

void SignalingRoutes::put_offer(const Call& call, httplib::Response& res) {
  const std::string& user = call.user();
  if (call.text("sdp").size() > kMaxOfferBytes || call.req.body.size() > kMaxOfferBytes + 4096) {
    send_json(res, {{"error", "the offer is larger than any real one"}}, 413);
    return;
  }
  if (!relay_.has_room(user, kMaxNegotiations)) {
    send_json(res, {{"error", "too many negotiations at once; try again later"}}, 429);
    return;
  }
  // The robot offers once, when a session starts: frames left open by
  // an earlier session that ended without ending its episode go aside, and
  // its ended episodes are kept apart (a session's offer names it).
  const std::string session = call.body.contains("sessionId") && call.body["sessionId"].is_string() ? call.id("sessionId") : "";
  exports_.begin_session(frames_, user, session);
  // The robot type it names (a short name) labels the live plots from the first frame on.
  const Json& type = call.body.contains("robotType") ? call.body["robotType"] : Json();
  live_.session_started(user, type.is_string() && type.get<std::string>().size() <= 64 ? type.get<std::string>() : "");
  relay_.put_offer(user, call.body);
  send_json(res, {{"ok", true}});
}

void SignalingRoutes::put_answer(const Call& call, httplib::Response& res) {
  const Json& body = call.body;
  if (!body.contains("offerId") || !body["offerId"].is_number_integer()) throw BadRequest("\"offerId\" must be an integer");
  Json answer{{"sdp", call.text("sdp")}, {"type", body.value("type", "answer")}};
  if (!relay_.put_answer(call.user(), body["offerId"].get<long>(), std::move(answer))) {
    send_json(res, {{"error", "that offer has been replaced or has expired"}}, 409);
    return;
  }
  send_json(res, {{"ok", true}});
}

void SignalingRoutes::add_candidate(const Call& call, httplib::Response& res) {
  const std::string sender = call.text("sender");
  if (sender != "robot" && sender != "browser") throw BadRequest("\"sender\" must be \"robot\" or \"browser\"");
  const std::string text = call.text("candidate");
  if (text.size() > kMaxCandidateBytes) {
    send_json(res, {{"error", "the candidate is larger than any real one"}}, 413);
    return;
  }
  Json candidate{{"candidate", text},
                 {"sdpMid", call.body.value("sdpMid", Json())},
                 {"sdpMLineIndex", call.body.value("sdpMLineIndex", Json())}};
  if (!relay_.add_candidate(call.user(), sender, std::move(candidate), kMaxCandidates)) {
    send_json(res, {{"error", "too many candidates for one negotiation"}}, 429);
    return;
  }
  send_json(res, {{"ok", true}});
}

}  // namespace studio
