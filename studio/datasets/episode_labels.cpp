#include "studio/datasets/episode_labels.hpp"

#include <stdexcept>

#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/live/logged_frame.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

Json read_sidecar(const fs::path& dataset) {
  const fs::path file = dataset / "meta" / "tessaline.json";
  if (!fs::exists(file)) return Json::object();
  Json sidecar = Json::parse(read_file(file));
  return sidecar.is_object() ? sidecar : Json::object();
}

std::map<long, Json> by_episode(const fs::path& dataset, const char* key) {
  std::map<long, Json> out;
  const Json sidecar = read_sidecar(dataset);
  const auto entries = sidecar.find(key);
  if (entries == sidecar.end() || !entries->is_object()) return out;
  for (const auto& [index, value] : entries->items()) {
    if (!value.is_object()) continue;
    try {
      out[std::stol(index)] = value;
    } catch (const std::logic_error&) {  // not an episode's number: not ours to read
    }
  }
  return out;
}

}  // namespace

std::map<long, EpisodeLabel> episode_labels(const fs::path& dataset) {
  std::map<long, EpisodeLabel> out;
  for (const auto& [index, value] : by_episode(dataset, "labels")) out[index] = {value.value("label", ""), value.value("note", "")};
  return out;
}

std::map<long, Json> episode_quality(const fs::path& dataset) { return by_episode(dataset, "quality"); }

void label_episode(const fs::path& dataset, long episode, const std::optional<EpisodeLabel>& label,
                   const std::function<void()>& on_wait) {
  if (label && label->label != "success" && label->label != "failure") {
    throw std::invalid_argument("a label is \"success\" or \"failure\", not \"" + label->label + "\"");
  }
  if (label && (label->note.size() > 1000 || !valid_utf8(label->note))) {
    throw std::invalid_argument("a note is at most 1000 bytes of text");
  }
  const DatasetsLock lock(dataset, on_wait);
  const long total = Json::parse(read_file(dataset / "meta" / "info.json")).value("total_episodes", 0L);
  if (episode < 0 || episode >= total) {
    throw std::invalid_argument("no episode " + std::to_string(episode) + ": the dataset has episodes 0-" + std::to_string(total - 1));
  }
  Json sidecar = read_sidecar(dataset);
  if (!sidecar.contains("labels") || !sidecar["labels"].is_object()) sidecar["labels"] = Json::object();
  if (label) sidecar["labels"][std::to_string(episode)] = {{"label", label->label}, {"note", label->note}};
  else sidecar["labels"].erase(std::to_string(episode));
  DatasetChange change(dataset);
  change.write("meta/tessaline.json", kit::json::to_file(sidecar));
  change.commit();
}

Json per_episode_after_delete(const Json& by_episode, long deleted) {
  Json out = Json::object();
  if (!by_episode.is_object()) return out;
  for (const auto& [key, value] : by_episode.items()) {
    long index = -1;
    try {
      index = std::stol(key);
    } catch (const std::logic_error&) {
      continue;
    }
    if (index == deleted) continue;
    out[std::to_string(index > deleted ? index - 1 : index)] = value;
  }
  return out;
}

}  // namespace studio
