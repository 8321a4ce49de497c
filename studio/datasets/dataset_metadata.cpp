#include "studio/datasets/dataset_metadata.hpp"

#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/dataset_tasks.hpp"

namespace studio {
using kit::json::Json;

namespace {

Json feature_info(const std::string& dtype, std::vector<size_t> shape, Json names) {
  return {{"dtype", dtype}, {"shape", shape}, {"names", std::move(names)}};
}

Json video_feature(const ExportLayout& layout, const std::string& key, const std::string& codec) {
  const auto [w, h] = layout.encoded_size.at(key);
  Json f = feature_info("video", {static_cast<size_t>(h), static_cast<size_t>(w), 3}, {"height", "width", "channels"});
  kit::video::VideoOptions used;
  used.codec = codec;
  const auto settings = kit::video::encoder_settings(used);
  f["info"] = {{"video.height", h},       {"video.width", w},        {"video.codec", codec},
               {"video.pix_fmt", "yuv420p"}, {"video.fps", layout.fps}, {"video.channels", 3},
               {"has_audio", false},       {"video.g", settings.gop}, {"video.crf", settings.crf}};
  // Each codec's own settings, as the field's tools read them back to encode again.
  if (codec == "av1") {
    f["info"]["video.preset"] = std::stoi(settings.preset);
    f["info"]["video.fast_decode"] = 0;
  } else {
    f["info"]["video.preset"] = settings.preset;
  }
  f["info"]["video.video_backend"] = "pyav";
  f["info"]["video.extra_options"] = Json::object();
  f["info"]["is_depth_map"] = false;
  return f;
}

Json new_dataset_info(const ExportLayout& layout, const ExportRequest& request) {
  Json features = Json::object();
  features["action"] = feature_info("float32", {layout.action_dims}, layout.action_names);
  features["observation.state"] = feature_info("float32", {layout.state_dims}, layout.state_names);
  for (const auto& key : layout.cameras) features[key] = video_feature(layout, key, request.video_codec);
  features["timestamp"] = feature_info("float32", {1}, nullptr);
  for (const char* f : {"frame_index", "episode_index", "index", "task_index"}) features[f] = feature_info("int64", {1}, nullptr);
  return {{"codebase_version", "v3.0"},
          {"robot_type", layout.robot_type},
          {"total_episodes", 0},
          {"total_frames", 0},
          {"total_tasks", 0},
          {"chunks_size", kFilesPerChunk},
          {"data_files_size_in_mb", request.data_file_mb},
          {"video_files_size_in_mb", request.video_file_mb},
          {"fps", layout.fps},
          {"splits", Json::object()},
          {"data_path", "data/chunk-{chunk_index:03d}/file-{file_index:03d}.parquet"},
          {"video_path", layout.cameras.empty() ? Json() : Json("videos/{video_key}/chunk-{chunk_index:03d}/file-{file_index:03d}.mp4")},
          {"features", features}};
}

}  // namespace

void write_metadata(DatasetChange& change, const DatasetState& after, const ExportLayout& layout, const ExportRequest& request,
                    ExportAdded added) {
  change.write("meta/tasks.parquet", tasks_table(after.tasks));

  // Dataset statistics: what was there, merged with the new episodes.
  Json stats = after.stats;
  for (auto& [feature, parts] : added.stats) {
    if (stats.contains(feature)) parts.insert(parts.begin(), stats_from_json(stats[feature]));
    stats[feature] = to_json(merge(parts));
  }
  change.write("meta/stats.json", stats.dump(4));
  // The dataset stays its creator's: an append never changes the owner.
  Json own{{"tasks", after.tasks}, {"repo_id", request.repo_id}, {"user_id", after.owner.empty() ? request.user_id : after.owner}};
  if (after.sidecar.contains("jobs")) own["jobs"] = after.sidecar["jobs"];
  // An append numbers new episodes after those there: what is kept per
  // episode only gains entries.
  for (const auto& [key, added_now] : {std::pair<const char*, const Json&>{"labels", added.labels}, {"quality", added.quality}}) {
    if (after.sidecar.contains(key)) own[key] = after.sidecar[key];
    if (!added_now.empty()) own[key].update(added_now);
  }
  // The cameras' sizes as captured, which the videos' sizes may not tell
  // apart; known for datasets this studio started.
  if (after.sidecar.contains("captured_sizes")) {
    own["captured_sizes"] = after.sidecar["captured_sizes"];
  } else if (!after.exists) {
    for (const auto& [key, size] : layout.source_size) own["captured_sizes"][key] = {size.first, size.second};
  }
  if (!request.job_name.empty()) own["jobs"][request.job_name] = {{"episodes", added.episodes}, {"frames", added.frames}};
  change.write("meta/tessaline.json", kit::json::to_file(own));

  Json info = after.exists ? after.info : new_dataset_info(layout, request);
  info["total_episodes"] = after.next_episode;
  info["total_frames"] = after.next_index;
  info["total_tasks"] = static_cast<long>(after.tasks.size());
  info["splits"] = {{"train", "0:" + std::to_string(after.next_episode)}};
  change.write("meta/info.json", info.dump(4));
}

}  // namespace studio
