#include "studio/datasets/export_layout.hpp"

#include <cmath>
#include <set>
#include <tuple>

#include "kit/video/mp4_writer.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/dataset_tasks.hpp"
#include "studio/datasets/staged_episode.hpp"
#include "studio/live/joint_names.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

// What a job's episodes are, checked frame by frame.
struct JobShape {
  std::vector<std::tuple<std::string, int, int>> cameras;  // key, width, height as captured
  size_t state_dims = 0, action_dims = 0;
  std::string robot_type;
  int fps = 0;
  long episodes = 0;
};

JobShape shape_of(const std::vector<fs::path>& staged, const ExportRequest& request) {
  JobShape shape;
  shape.robot_type = request.robot_type.value_or("");
  shape.fps = request.fps ? static_cast<int>(std::lround(*request.fps)) : 0;
  for (const auto& dir : staged) {
    const StagedEpisode ep = load_staged_episode(dir);
    if (ep.frames.empty()) continue;
    const std::string which = "episode " + std::to_string(shape.episodes) + " of this session";
    const LoggedFrame& first = ep.frames.front().frame;
    if (!first.action) throw ExportRefused("the frames carry no action");
    if (shape.episodes == 0) {
      shape.cameras = ep.cameras;
      shape.state_dims = first.state.size();
      shape.action_dims = first.action->size();
    } else if (ep.cameras != shape.cameras) {
      throw ExportRefused(which + " has other cameras, or cameras of another size, than the first");
    }
    for (size_t i = 0; i < ep.frames.size(); ++i) {
      const LoggedFrame& f = ep.frames[i].frame;
      if (f.state.size() != shape.state_dims || !f.action || f.action->size() != shape.action_dims) {
        throw ExportRefused(which + ", frame " + std::to_string(i) + ", has a state or action of another length than the others");
      }
      if (shape.robot_type.empty() && f.robot_type) shape.robot_type = *f.robot_type;
      if (shape.fps <= 0 && f.fps) shape.fps = static_cast<int>(std::lround(*f.fps));
    }
    ++shape.episodes;
  }
  return shape;
}

// `captured`: each camera's size as captured, where the dataset records it
// (two captured sizes can encode to one: 641x481 and 640x480 both to 640x480).
void camera_differences(const Json& features, const Json& captured, const JobShape& shape, std::vector<std::string>& out) {
  std::set<std::string> dataset_cameras, session_cameras;
  for (const auto& [key, f] : features.items()) {
    if (f.value("dtype", "") == "video" || f.value("dtype", "") == "image") dataset_cameras.insert(key);
  }
  for (const auto& [key, w, h] : shape.cameras) {
    session_cameras.insert(key);
    if (!dataset_cameras.count(key)) {
      out.push_back("this session has the camera " + key + ", the dataset does not");
      continue;
    }
    const auto [ew, eh] = kit::video::encodable_size(w, h);
    const Json& f = features.at(key);
    const std::vector<size_t> want = f.value("shape", std::vector<size_t>{});
    if (want.size() < 2 || want[0] != static_cast<size_t>(eh) || want[1] != static_cast<size_t>(ew)) {
      out.push_back("the camera " + key + " is " + (want.size() >= 2 ? std::to_string(want[1]) + "x" + std::to_string(want[0]) : "of unknown size") +
                    " in the dataset, " + std::to_string(ew) + "x" + std::to_string(eh) + " in this session");
    } else if (captured.contains(key) && captured[key] != Json::array({w, h})) {
      const Json& size = captured[key];
      out.push_back("the camera " + key + " was captured at " + size[0].dump() + "x" + size[1].dump() + " for the dataset, at " +
                    std::to_string(w) + "x" + std::to_string(h) + " in this session");
    }
    const std::string codec = f.value("info", Json::object()).value("video.codec", "");
    if (f.value("dtype", "") != "video" || (codec != "av1" && codec != "h264")) {
      out.push_back("the dataset's camera " + key + " is stored as " + (codec.empty() ? f.value("dtype", "?") : codec) +
                    ", which this studio cannot add to (it writes av1 and h264 videos)");
    }
  }
  for (const auto& key : dataset_cameras) {
    if (!session_cameras.count(key)) out.push_back("the dataset has the camera " + key + ", this session does not");
  }
}

void vector_difference(const Json& features, const char* name, const std::vector<std::string>& names, std::vector<std::string>& out) {
  if (!features.contains(name)) {
    out.push_back(std::string("the dataset has no ") + name);
    return;
  }
  const Json& f = features.at(name);
  const std::vector<size_t> want = f.value("shape", std::vector<size_t>{});
  if (want != std::vector<size_t>{names.size()}) {
    out.push_back(std::string(name) + " has " + (want.size() == 1 ? std::to_string(want[0]) : "another shape of") + " values in the dataset, " +
                  std::to_string(names.size()) + " in this session");
  } else if (f.contains("names") && f["names"].is_array() && f["names"] != Json(names)) {
    out.push_back(std::string(name) + " names its values " + f["names"].dump() + " in the dataset, " + Json(names).dump() + " in this session");
  }
}

// How a session differs from the dataset it is to be added to, one item per
// difference. A dataset is one table per kind: a file whose columns, shapes
// or rate differ from the others' makes the whole dataset unreadable.
std::vector<std::string> append_differences(const DatasetState& dataset, const JobShape& shape, const std::vector<std::string>& state_names,
                                            const std::vector<std::string>& action_names) {
  std::vector<std::string> out;
  const Json& info = dataset.info;
  const Json& features = info.at("features");
  const Json captured = dataset.sidecar.value("captured_sizes", Json::object());
  camera_differences(features, captured.is_object() ? captured : Json::object(), shape, out);
  vector_difference(features, "observation.state", state_names, out);
  vector_difference(features, "action", action_names, out);
  if (info.value("fps", 0) != shape.fps) {
    out.push_back("the dataset is at " + std::to_string(info.value("fps", 0)) + " frames/s, this session at " + std::to_string(shape.fps));
  }
  const std::string dataset_robot = info.value("robot_type", "");
  if (!shape.robot_type.empty() && !dataset_robot.empty() && dataset_robot != shape.robot_type) {
    out.push_back("the dataset's robot is a " + dataset_robot + ", this session's a " + shape.robot_type);
  }
  return out;
}

}  // namespace

DatasetState DatasetState::read(const fs::path& dataset) {
  DatasetState s;
  const fs::path info_path = dataset / "meta" / "info.json";
  s.exists = fs::exists(info_path);
  if (!s.exists) return s;
  s.info = Json::parse(read_file(info_path));
  if (fs::exists(dataset / "meta" / "stats.json")) s.stats = Json::parse(read_file(dataset / "meta" / "stats.json"));
  if (fs::exists(dataset / "meta" / "tessaline.json")) s.sidecar = Json::parse(read_file(dataset / "meta" / "tessaline.json"));
  s.owner = s.sidecar.value("user_id", "");
  try {
    s.tasks = read_tasks(dataset, s.sidecar);
  } catch (const std::exception& e) {
    throw ExportRefused(std::string("the dataset's tasks cannot be read: ") + e.what());
  }
  s.next_episode = s.info.at("total_episodes").get<long>();
  s.next_index = s.info.at("total_frames").get<long>();
  return s;
}

ExportLayout settle_layout(const std::vector<fs::path>& staged, const ExportRequest& request, const DatasetState& dataset) {
  JobShape shape = shape_of(staged, request);
  if (shape.robot_type.empty()) shape.robot_type = dataset.exists ? dataset.info.value("robot_type", "unknown") : "unknown";
  if (shape.fps <= 0) shape.fps = dataset.exists ? dataset.info.at("fps").get<int>() : 30;
  ExportLayout layout;
  layout.state_names = joint_names(shape.robot_type, shape.state_dims);
  layout.action_names = joint_names(shape.robot_type, shape.action_dims);
  if (dataset.exists && shape.episodes > 0) {
    const auto differences = append_differences(dataset, shape, layout.state_names, layout.action_names);
    if (!differences.empty()) {
      throw ExportRefused("this session cannot be added to the dataset " + request.repo_id + ": " + joined(differences, "; ") +
                          ". Its episodes are kept: export them to another repository");
    }
  }
  for (const auto& [key, w, h] : shape.cameras) {
    layout.cameras.push_back(key);
    layout.source_size[key] = {w, h};
    layout.encoded_size[key] = kit::video::encodable_size(w, h);  // an odd picture is cut, a tiny one scaled up
    layout.codec[key] = dataset.exists ? dataset.info.at("features").at(key).at("info").value("video.codec", request.video_codec)
                                       : request.video_codec;
  }
  layout.state_dims = shape.state_dims;
  layout.action_dims = shape.action_dims;
  layout.robot_type = shape.robot_type;
  layout.fps = shape.fps;
  layout.episodes = shape.episodes;
  // Files roll over at the dataset's size limits; an existing dataset keeps its own.
  layout.data_limit = megabytes(std::max(1L, dataset.exists ? dataset.info.value("data_files_size_in_mb", 100L) : request.data_file_mb));
  layout.video_limit = megabytes(std::max(1L, dataset.exists ? dataset.info.value("video_files_size_in_mb", 200L) : request.video_file_mb));
  return layout;
}

}  // namespace studio
