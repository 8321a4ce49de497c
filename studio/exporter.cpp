#include "studio/exporter.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "kit/files/atomic_file.hpp"
#include "kit/flight/ipc.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string numbered(const char* prefix, long n, const char* suffix = "") {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%06ld%s", prefix, n, suffix);
  return buf;
}

struct Frame {
  unsigned long long sequence;
  std::shared_ptr<kit::flight::RecordBatch> batch;
  double timestamp() const {
    const auto ts = batch->GetColumnByName("timestamp");
    return ts && ts->IsValid(0) ? ts->GetDouble(0) : 0.0;
  }
};

std::vector<Frame> load_episode(const fs::path& dir) {
  std::vector<Frame> frames;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".arrows") continue;
    const std::string stem = e.path().stem().string();  // frame_<sequence>
    auto stream = kit::flight::ipc::ReadStream(read_file(e.path()));
    for (auto& b : stream.batches) frames.push_back({std::stoull(stem.substr(6)), b});
  }
  // Workers may deliver out of order; the capture clock decides.
  std::stable_sort(frames.begin(), frames.end(), [](const Frame& a, const Frame& b) {
    return a.timestamp() != b.timestamp() ? a.timestamp() < b.timestamp() : a.sequence < b.sequence;
  });
  return frames;
}

Json list_value(const kit::flight::Array& a) {
  if (!a.IsValid(0)) return nullptr;
  return a.GetDoubleList(0);
}

// One frame as a JSON line; images are written beside it.
Json write_frame(const Frame& f, long frame_index, long episode_index, const fs::path& episode_dir,
                 Json& features, Json& episode_meta) {
  const auto& b = *f.batch;
  Json line;
  line["frame_index"] = frame_index;
  line["episode_index"] = episode_index;
  line["timestamp"] = b.GetColumnByName("timestamp") ? Json(f.timestamp()) : Json();
  line["episode_end"] = b.GetColumnByName("episode_end") && b.GetColumnByName("episode_end")->GetBool(0);
  line["state"] = list_value(*b.GetColumnByName("state"));
  line["action"] = b.GetColumnByName("action") ? list_value(*b.GetColumnByName("action")) : Json();
  if (line["state"].is_array()) features["state"] = {{"dtype", "float64"}, {"shape", {line["state"].size()}}};
  if (line["action"].is_array()) features["action"] = {{"dtype", "float64"}, {"shape", {line["action"].size()}}};
  if (auto fps = b.GetColumnByName("fps"); fps && fps->IsValid(0)) episode_meta["fps"] = fps->GetDouble(0);
  if (auto rt = b.GetColumnByName("robot_type"); rt && rt->IsValid(0)) episode_meta["robotType"] = std::string(rt->GetView(0));
  Json images = Json::object();
  for (int c = 0; c < b.num_columns(); ++c) {
    const std::string& name = b.column_name(c);
    if (name.find("observation.images.") == std::string::npos || b.column(c)->type->id != kit::flight::TypeId::BINARY ||
        !b.column(c)->IsValid(0)) {
      continue;
    }
    const std::string_view jpeg = b.column(c)->GetView(0);
    const fs::path rel = fs::path("images") / safe_name(name) / numbered("frame_", frame_index, ".jpg");
    fs::create_directories(episode_dir / rel.parent_path());
    kit::files::write_atomically(episode_dir / rel, jpeg);
    images[name] = rel.generic_string();
    if (!features.contains(name)) {
      try {
        const auto [w, h] = kit::jpeg::image_size(jpeg);
        features[name] = {{"dtype", "image/jpeg"}, {"shape", {h, w, 3}}};
      } catch (const kit::jpeg::JpegError&) {
        features[name] = {{"dtype", "image/jpeg"}, {"shape", nullptr}};
      }
    }
  }
  line["images"] = images;
  return line;
}

}  // namespace

fs::path dataset_dir(const fs::path& data_dir, const std::string& repo_id) {
  return data_dir / "datasets" / safe_name(repo_id);
}

ExportResult export_dataset(const ExportJob& job, const fs::path& data_dir, const ExportRequest& request) {
  ExportResult result;
  result.dataset_dir = dataset_dir(data_dir, request.repo_id);
  fs::create_directories(result.dataset_dir / "episodes");
  const fs::path meta_path = result.dataset_dir / "meta.json";
  Json meta = fs::exists(meta_path) ? Json::parse(read_file(meta_path)) : Json{{"format", "tessaline-dataset"},
                                                                               {"version", 1},
                                                                               {"repoId", request.repo_id},
                                                                               {"robotType", nullptr},
                                                                               {"fps", nullptr},
                                                                               {"features", Json::object()},
                                                                               {"totalEpisodes", 0},
                                                                               {"totalFrames", 0},
                                                                               {"episodes", Json::array()}};
  long next_episode = meta["totalEpisodes"].get<long>();
  std::vector<fs::path> staged;
  for (const auto& e : fs::directory_iterator(job.dir)) {
    if (e.is_directory()) staged.push_back(e.path());
  }
  std::sort(staged.begin(), staged.end());
  for (const auto& source : staged) {
    const long index = next_episode++;
    const fs::path out_dir = result.dataset_dir / "episodes" / numbered("episode_", index);
    fs::create_directories(out_dir);
    Json episode_meta{{"index", index}, {"length", 0}, {"complete", !fs::exists(source / "INCOMPLETE")},
                      {"userId", request.user_id}, {"fps", nullptr}, {"robotType", nullptr}};
    std::string lines;
    long n = 0;
    for (const Frame& f : load_episode(source)) {
      lines += write_frame(f, n++, index, out_dir, meta["features"], episode_meta).dump() + "\n";
    }
    kit::files::write_atomically(out_dir / "frames.jsonl", lines);
    episode_meta["length"] = n;
    result.frames_added += n;
    meta["episodes"].push_back(episode_meta);
    if (meta["fps"].is_null() && !episode_meta["fps"].is_null()) meta["fps"] = episode_meta["fps"];
    if (meta["robotType"].is_null() && !episode_meta["robotType"].is_null()) meta["robotType"] = episode_meta["robotType"];
  }
  if (request.fps) meta["fps"] = *request.fps;
  if (request.robot_type) meta["robotType"] = *request.robot_type;
  meta["totalEpisodes"] = next_episode;
  meta["totalFrames"] = meta["totalFrames"].get<long>() + result.frames_added;
  result.episodes_added = static_cast<long>(staged.size());
  kit::files::write_atomically(meta_path, kit::json::to_file(meta));
  fs::remove_all(job.dir);
  return result;
}

}  // namespace studio
