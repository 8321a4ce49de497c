#include "studio/dataset_library.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <regex>

#include "kit/parquet/reader.hpp"
#include "studio/dataset_change.hpp"
#include "studio/dataset_files.hpp"
#include "studio/exporter.hpp"
#include "studio/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

Json read_info(const fs::path& dataset) { return Json::parse(read_file(dataset / "meta" / "info.json")); }

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

// The repository id a dataset folder was made for.
std::string repo_id_of(const fs::path& dataset) {
  if (const std::string id = sidecar_text(dataset, "repo_id"); !id.empty()) return id;
  // Older datasets: undo the folder name's %XX escapes.
  const std::string name = dataset.filename().string();
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && std::isxdigit(static_cast<unsigned char>(name[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(name[i + 2]))) {
      out += static_cast<char>(std::stoi(name.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += name[i];
    }
  }
  return out;
}

fs::path existing_dataset(const fs::path& data_dir, const std::string& repo_id) {
  const fs::path dataset = dataset_dir(data_dir, repo_id);
  if (!fs::exists(dataset / "meta" / "info.json")) throw DatasetNotFound("no dataset " + repo_id);
  return dataset;
}

// Per joint, its values over the rows of a list column.
Json joint_series(const kit::parquet::ColumnValues& column, size_t joints) {
  Json values = Json::array();
  for (size_t j = 0; j < joints; ++j) {
    Json series = Json::array();
    for (size_t r = 0; r < column.rows(); ++r) {
      const size_t at = column.row_start[r] + j;
      series.push_back(at < column.row_start[r + 1] ? column.reals[at] : 0.0);
    }
    values.push_back(std::move(series));
  }
  return values;
}

}  // namespace

std::string dataset_owner(const fs::path& data_dir, const std::string& repo_id) {
  return sidecar_text(dataset_dir(data_dir, repo_id), "user_id");
}

Json list_datasets(const fs::path& data_dir, const std::optional<std::string>& owner) {
  Json out = Json::array();
  const fs::path root = data_dir / "datasets";
  if (!fs::exists(root)) return out;
  std::vector<std::pair<long, Json>> found;
  for (const auto& d : fs::directory_iterator(root)) {
    const fs::path info_path = d.path() / "meta" / "info.json";
    if (!d.is_directory() || !fs::exists(info_path)) continue;
    try {
      if (owner && sidecar_text(d.path(), "user_id") != *owner) continue;
      const Json info = read_info(d.path());
      uintmax_t bytes = 0;
      for (const auto& f : fs::recursive_directory_iterator(d.path())) {
        if (f.is_regular_file()) bytes += f.file_size();
      }
      const auto cameras = cameras_of(info);
      const int fps = info.at("fps").get<int>();
      struct stat st {};
      ::stat(info_path.c_str(), &st);  // when the dataset last changed (info.json goes in last)
      const long modified = static_cast<long>(st.st_mtime);
      Json entry = {{"repoId", repo_id_of(d.path())},
                    {"robotType", info.value("robot_type", "unknown")},
                    {"fps", fps},
                    {"episodes", info.at("total_episodes")},
                    {"frames", info.at("total_frames")},
                    {"durationSeconds", fps > 0 ? info.at("total_frames").get<double>() / fps : 0.0},
                    {"bytes", bytes},
                    {"modified", modified},
                    {"cameras", cameras},
                    {"codec", cameras.empty() ? "" : info["features"][cameras[0]]["info"].value("video.codec", "")}};
      found.emplace_back(modified, std::move(entry));
    } catch (const std::exception&) {
      // A dataset that cannot be read is left out of the list, not the list's end.
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (auto& [when, entry] : found) out.push_back(std::move(entry));
  return out;
}

Json dataset_episodes(const fs::path& data_dir, const std::string& repo_id) {
  const fs::path dataset = existing_dataset(data_dir, repo_id);
  const Json info = read_info(dataset);
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
  return {{"repoId", repo_id},
          {"fps", info.at("fps")},
          {"robotType", info.value("robot_type", "unknown")},
          {"cameras", cameras},
          {"episodes", std::move(episodes)}};
}

Json episode_series(const fs::path& data_dir, const std::string& repo_id, long episode) {
  const fs::path dataset = existing_dataset(data_dir, repo_id);
  const Json info = read_info(dataset);
  const Json& features = info.at("features");
  Json out = {{"index", episode}, {"fps", info.at("fps")}};
  // Episodes are whole row groups; read only the groups that hold this one.
  for (const auto& file : table_files(dataset / "data")) {
    const kit::parquet::Reader reader(read_file(file));
    for (size_t g = 0; g < reader.row_groups(); ++g) {
      const auto index = reader.column(g, "episode_index");
      if (std::find(index.ints.begin(), index.ints.end(), episode) == index.ints.end()) continue;
      if (!std::all_of(index.ints.begin(), index.ints.end(), [&](int64_t e) { return e == episode; })) {
        throw std::runtime_error("a row group of " + file.string() + " mixes episodes");
      }
      const auto frame = reader.column(g, "frame_index"), timestamp = reader.column(g, "timestamp");
      out["frameIndex"] = frame.ints;
      out["timestamp"] = timestamp.reals;
      out["length"] = frame.rows();
      for (const auto& [key, name] : {std::pair{"action", "action"}, std::pair{"observation.state", "state"}}) {
        const Json names = features.at(key).value("names", Json::array());
        const auto column = reader.column(g, key);
        const size_t joints = column.rows() ? column.row_start[1] - column.row_start[0] : names.size();
        out[name] = {{"names", names}, {"values", joint_series(column, joints)}};
      }
      return out;
    }
  }
  throw DatasetNotFound("no episode " + std::to_string(episode) + " in " + repo_id);
}

std::optional<fs::path> dataset_video(const fs::path& data_dir, const std::string& repo_id, const std::string& rel) {
  static const std::regex shape(R"(videos/[A-Za-z0-9_][A-Za-z0-9_.\-]*/chunk-[0-9]{3,}/file-[0-9]{3,}\.mp4)");
  if (!std::regex_match(rel, shape)) return std::nullopt;
  const fs::path path = dataset_dir(data_dir, repo_id) / rel;
  if (!fs::is_regular_file(path)) return std::nullopt;
  return path;
}

}  // namespace studio
