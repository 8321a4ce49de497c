#include "studio/server/routes/session_routes.hpp"

#include <cstdio>

#include "studio/live/episode_quality.hpp"
#include "studio/live/logged_frame.hpp"

namespace studio {

void SessionRoutes::register_on(Router& router) {
  router.post("/sessions/episodes/end", [this](const Call& call, httplib::Response& res) { end_episode(call, res); });
  // The operator page names the task of the episodes it records next.
  router.post("/sessions/task", [this](const Call& call, httplib::Response& res) { set_task(call, res); });
  router.post("/sessions/episodes/reset", [this](const Call& call, httplib::Response& res) { reset_episode(call, res); });
  // The operator's ✓ / ✗ on the episode just saved.
  router.post("/sessions/episodes/label", [this](const Call& call, httplib::Response& res) { label_episode(call, res); });
  // What the operator page shows while recording (see LiveFeed).
  router.get("/sessions/live", [this](const Call& call, httplib::Response& res) {
    send_json(res, live_.snapshot(call.user(), call.since()));
  });
  router.post("/sessions/end", [this](const Call& call, httplib::Response& res) { end_session(call, res); });
  // Exports that failed keep their episodes: this runs them again.
  router.post("/sessions/export/retry", [this](const Call& call, httplib::Response& res) { retry_exports(call, res); });
  router.get("/sessions/export-status", [this](const Call& call, httplib::Response& res) {
    send_json(res, exports_.status(call.repo_id(), call.user()));
  });
}

void SessionRoutes::end_episode(const Call& call, httplib::Response& res) {
  // The robot's word on how the episode went (its loop, cameras, bus); an
  // unreadable one is dropped rather than losing the episode's end.
  Json quality;
  if (const auto given = call.body.find("quality"); given != call.body.end() && !given->is_null()) {
    try {
      quality = checked_quality(*given);
    } catch (const std::invalid_argument& e) {
      std::fprintf(stderr, "studio: %s's episode quality was not kept: %s\n", call.user().c_str(), e.what());
    }
  }
  const EpisodeEnd end = frames_.end_episode(call.user(), quality);
  live_.episode_ended(call.user());
  // "frames": what the episode holds, for the robot to compare with what it logged.
  send_json(res, {{"episodeIndex", end.episode_index}, {"totalEpisodes", end.total_episodes}, {"frames", end.frames}});
}

void SessionRoutes::set_task(const Call& call, httplib::Response& res) {
  const std::string task = call.text("task");
  if (task.empty() || task.size() > 1000 || !valid_utf8(task)) throw BadRequest("\"task\" must be 1 to 1000 characters of text");
  frames_.set_task(call.user(), task);
  send_json(res, {{"ok", true}});
}

void SessionRoutes::label_episode(const Call& call, httplib::Response& res) {
  const std::string label = call.text("label");
  if (label != "success" && label != "failure") throw BadRequest("\"label\" must be \"success\" or \"failure\"");
  const Json note = call.body.value("note", Json(""));
  if (!note.is_string() || note.get<std::string>().size() > 1000 || !valid_utf8(note.get<std::string>())) {
    throw BadRequest("\"note\" must be at most 1000 bytes of text");
  }
  const auto episode = frames_.label_last_episode(call.user(), {{"label", label}, {"note", note}});
  if (!episode) throw NotFound("no saved episode is waiting for its export: a label goes with an episode until its session ends");
  send_json(res, {{"episode", *episode}, {"label", label}});
}

void SessionRoutes::reset_episode(const Call& call, httplib::Response& res) {
  const long cleared = frames_.reset_episode(call.user());
  live_.episode_reset(call.user());
  send_json(res, {{"framesCleared", cleared}});
}

void SessionRoutes::end_session(const Call& call, httplib::Response& res) {
  ExportRequest request = exports_.request_for(call);
  if (call.body.contains("robotType") && call.body["robotType"].is_string()) request.robot_type = call.body["robotType"];
  if (call.body.contains("fps") && call.body["fps"].is_number()) request.fps = call.body["fps"].get<double>();
  exports_.check_may_append(call, request.repo_id);
  const auto job = frames_.take_for_export(request.user_id);
  if (!job) {
    send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
    return;
  }
  exports_.start({*job}, request);
  send_json(res, {{"status", "exporting"},
                  {"repoId", request.repo_id},
                  {"datasetDir", dataset_path(request.repo_id)},
                  {"episodes", job->episodes}});
}

void SessionRoutes::retry_exports(const Call& call, httplib::Response& res) {
  const ExportRequest request = exports_.request_for(call);
  exports_.check_may_append(call, request.repo_id);
  // "fromRepoId": only the failed exports meant for that repository move
  // (without it, every failed export of the user's, as before).
  std::optional<std::string> from;
  if (call.body.contains("fromRepoId")) from = call.id("fromRepoId");
  const auto jobs = exports_.failed_jobs(frames_.failed_exports(request.user_id), from);
  const long queued_again = exports_.requeue_failed(request.user_id, request.repo_id, from);
  if (queued_again > 0 && jobs.empty()) {
    send_json(res, {{"status", "exporting"}, {"repoId", request.repo_id}, {"episodes", queued_again}});
    return;
  }
  if (jobs.empty()) {
    send_json(res, {{"status", "nothing to export"}, {"repoId", request.repo_id}, {"episodes", 0}});
    return;
  }
  long episodes = 0;
  for (const auto& job : jobs) episodes += job.episodes;
  exports_.start(jobs, request);
  if (from && *from != request.repo_id) exports_.moved(*from, request);
  send_json(res, {{"status", "exporting"}, {"repoId", request.repo_id}, {"episodes", episodes + queued_again}});
}

}  // namespace studio
