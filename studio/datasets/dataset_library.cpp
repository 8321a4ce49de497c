#include "studio/datasets/dataset_library.hpp"

#include <cmath>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <regex>

#include "kit/parquet/reader.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/episode_labels.hpp"
#include "studio/live/episode_quality.hpp"
#include "studio/datasets/exporter.hpp"
#include "kit/files/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

Json read_info(const fs::path& dataset) { return Json::parse(read_file(dataset / "meta" / "info.json")); }

// Why a dataset of this description cannot be opened here; "" when it can.
std::string unsupported_layout(const Json& info) {
  const std::string version = info.value("codebase_version", "");
  if (version.rfind("v3.", 0) == 0) return "";
  return "the dataset is in the " + (version.empty() ? std::string("unknown") : version) +
         " layout (its episodes in meta/episodes.jsonl, a file per episode); the viewer reads the v3.0 layout: "
         "convert it to v3.0 to open it here";
}

// The video codec a camera's feature names, "" when its info does not say.
std::string codec_of(const Json& info, const std::string& camera) {
  const Json& feature = info.at("features").at(camera);
  const auto details = feature.find("info");
  if (details == feature.end() || !details->is_object()) return "";
  return details->value("video.codec", "");
}

Json read_supported_info(const fs::path& dataset) {
  Json info = read_info(dataset);
  if (const std::string why = unsupported_layout(info); !why.empty()) throw DatasetUnsupported(why);
  return info;
}

std::vector<std::string> cameras_of(const Json& info) {
  std::vector<std::string> cameras;
  for (const auto& [key, feature] : info.at("features").items()) {
    if (feature.value("dtype", "") == "video") cameras.push_back(key);
  }
  return cameras;
}

// A text field of the dataset's own sidecar file, or "".
std::string sidecar_text(const fs::path& dataset, const char* key) {
  const fs::path sidecar = dataset / "meta" / "tessaline.json";
  if (!fs::exists(sidecar)) return "";
  const Json j = Json::parse(read_file(sidecar));
  return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

// Per joint, its values over the rows of a list column.
// Per joint, its values in the rows picked.
// A stored number, or null where the file holds none (a null value, or a
// list that is null or shorter): the viewer draws a gap there, never a
// value nobody recorded. JSON has no NaN.
Json number_or_null(double value) { return std::isnan(value) ? Json(nullptr) : Json(value); }

void append_joint_series(Json& values, const kit::parquet::ColumnValues& column, const std::vector<size_t>& rows, size_t joints) {
  if (values.is_null()) values = Json::array();
  while (values.size() < joints) values.push_back(Json::array());
  for (size_t j = 0; j < joints; ++j) {
    for (const size_t r : rows) {
      const size_t at = column.row_start[r] + j;
      values[j].push_back(at < column.row_start[r + 1] ? number_or_null(column.reals[at]) : Json(nullptr));
    }
  }
}

}  // namespace

std::string dataset_owner(const DatasetEntry& dataset) { return dataset.read_only ? "" : sidecar_text(dataset.path, "user_id"); }

Json list_datasets(const DatasetCatalog& catalog, const std::optional<std::string>& owner) {
  Json out = Json::array();
  std::vector<std::pair<long, Json>> found;
  for (const DatasetEntry& d : catalog.all()) {
    const fs::path info_path = d.path / "meta" / "info.json";
    try {
      if (owner && dataset_owner(d) != *owner) continue;
      const Json info = read_info(d.path);
      uintmax_t bytes = 0;
      for (const auto& f : fs::recursive_directory_iterator(d.path)) {
        if (f.is_regular_file()) bytes += f.file_size();
      }
      const auto cameras = cameras_of(info);
      const int fps = info.at("fps").get<int>();
      struct stat st {};
      ::stat(info_path.c_str(), &st);  // when the dataset last changed (info.json goes in last)
      const long modified = static_cast<long>(st.st_mtime);
      Json entry = {{"repoId", d.repo_id},
                    {"readOnly", d.read_only},
                    {"robotType", info.value("robot_type", "unknown")},
                    {"fps", fps},
                    {"episodes", info.at("total_episodes")},
                    {"frames", info.at("total_frames")},
                    {"durationSeconds", fps > 0 ? info.at("total_frames").get<double>() / fps : 0.0},
                    {"bytes", bytes},
                    {"modified", modified},
                    {"cameras", cameras},
                    {"codec", cameras.empty() ? "" : codec_of(info, cameras[0])},
                    {"version", info.value("codebase_version", "")}};
      if (const std::string why = unsupported_layout(info); !why.empty()) entry["unsupported"] = why;
      found.emplace_back(modified, std::move(entry));
    } catch (const std::exception&) {
      // A dataset that cannot be read is left out of the list, not the list's end.
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (auto& [when, entry] : found) out.push_back(std::move(entry));
  return out;
}

Json dataset_episodes(const DatasetEntry& entry) {
  const fs::path& dataset = entry.path;
  const std::string& repo_id = entry.repo_id;
  const Json info = read_supported_info(dataset);
  const auto cameras = cameras_of(info);
  Json episodes = Json::array();
  for (const auto& file : table_files(dataset / "meta" / "episodes")) {
    const kit::parquet::Reader reader(read_file(file));
    for (size_t g = 0; g < reader.row_groups(); ++g) {
      const auto index = reader.column(g, "episode_index"), length = reader.column(g, "length");
      const auto tasks = reader.column(g, "tasks");
      std::map<std::string, std::array<kit::parquet::ColumnValues, 4>> videos;
      for (const auto& cam : cameras) {
        const std::string p = "videos/" + cam + "/";
        videos[cam] = {reader.column(g, p + "chunk_index"), reader.column(g, p + "file_index"),
                       reader.column(g, p + "from_timestamp"), reader.column(g, p + "to_timestamp")};
      }
      for (size_t r = 0; r < index.rows(); ++r) {
        Json ep = {{"index", index.ints[r]}, {"length", length.ints[r]}};
        ep["tasks"] = std::vector<std::string>(tasks.strings.begin() + static_cast<long>(tasks.row_start[r]),
                                               tasks.strings.begin() + static_cast<long>(tasks.row_start[r + 1]));
        Json v = Json::object();
        for (const auto& cam : cameras) {
          const auto& c = videos[cam];
          v[cam] = {{"path", FileSlot{static_cast<long>(c[0].ints[r]), static_cast<long>(c[1].ints[r])}.path("videos/" + cam, ".mp4")},
                    {"from", c[2].reals[r]},
                    {"to", c[3].reals[r]}};
        }
        ep["videos"] = std::move(v);
        episodes.push_back(std::move(ep));
      }
    }
  }
  std::sort(episodes.begin(), episodes.end(), [](const Json& a, const Json& b) { return a["index"] < b["index"]; });
  const auto labels = episode_labels(dataset);
  const auto quality = episode_quality(dataset);
  for (auto& ep : episodes) {
    if (const auto l = labels.find(ep["index"].get<long>()); l != labels.end()) {
      ep["label"] = {{"label", l->second.label}, {"note", l->second.note}};
    }
    if (const auto q = quality.find(ep["index"].get<long>()); q != quality.end()) {
      ep["quality"] = q->second;
      ep["qualityFlags"] = quality_flags(q->second);
    }
  }
  return {{"repoId", repo_id},
          {"readOnly", entry.read_only},
          {"fps", info.at("fps")},
          {"robotType", info.value("robot_type", "unknown")},
          {"cameras", cameras},
          {"episodes", std::move(episodes)}};
}

Json episode_series(const DatasetEntry& entry, long episode) {
  const fs::path& dataset = entry.path;
  const std::string& repo_id = entry.repo_id;
  const Json info = read_supported_info(dataset);
  const Json& features = info.at("features");
  Json out = {{"index", episode}, {"fps", info.at("fps")}};
  // The field's writers keep an episode to row groups of its own, other
  // tools need not: the episode's rows are picked wherever they are.
  Json frames = Json::array(), timestamps = Json::array();
  std::map<std::string, Json> series;
  std::map<std::string, size_t> joints;
  bool found = false;
  for (const auto& file : table_files(dataset / "data")) {
    const kit::parquet::Reader reader(read_file(file));
    for (size_t g = 0; g < reader.row_groups(); ++g) {
      const auto index = reader.column(g, "episode_index");
      std::vector<size_t> rows;
      for (size_t r = 0; r < index.rows(); ++r) {
        if (index.ints[index.row_start[r]] == episode) rows.push_back(r);
      }
      if (rows.empty()) continue;
      found = true;
      const auto frame = reader.column(g, "frame_index"), timestamp = reader.column(g, "timestamp");
      for (const size_t r : rows) {
        frames.push_back(frame.ints[frame.row_start[r]]);
        timestamps.push_back(number_or_null(timestamp.reals[timestamp.row_start[r]]));
      }
      for (const char* key : {"action", "observation.state"}) {
        const auto column = reader.column(g, key);
        if (!joints.count(key)) {
          const size_t named = features.at(key).value("names", Json::array()).size();
          joints[key] = column.row_start[rows[0] + 1] - column.row_start[rows[0]];
          if (joints[key] == 0) joints[key] = named;
        }
        append_joint_series(series[key], column, rows, joints[key]);
      }
    }
  }
  if (!found) throw DatasetNotFound("no episode " + std::to_string(episode) + " in " + repo_id);
  out["frameIndex"] = std::move(frames);
  out["timestamp"] = std::move(timestamps);
  out["length"] = out["frameIndex"].size();
  for (const auto& [key, name] : {std::pair{"action", "action"}, std::pair{"observation.state", "state"}}) {
    out[name] = {{"names", features.at(key).value("names", Json::array())}, {"values", std::move(series[key])}};
  }
  return out;
}

std::optional<fs::path> dataset_video(const DatasetEntry& dataset, const std::string& rel) {
  static const std::regex shape(R"(videos/[A-Za-z0-9_][A-Za-z0-9_.\-]*/chunk-[0-9]{3,}/file-[0-9]{3,}\.mp4)");
  if (!std::regex_match(rel, shape)) return std::nullopt;
  const fs::path path = dataset.path / rel;
  if (!fs::is_regular_file(path)) return std::nullopt;
  return path;
}

}  // namespace studio
