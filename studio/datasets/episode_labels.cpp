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

}  // namespace

std::map<long, EpisodeLabel> episode_labels(const fs::path& dataset) {
  std::map<long, EpisodeLabel> out;
  const Json sidecar = read_sidecar(dataset);
  const auto labels = sidecar.find("labels");
  if (labels == sidecar.end() || !labels->is_object()) return out;
  for (const auto& [key, value] : labels->items()) {
    if (!value.is_object()) continue;
    try {
      out[std::stol(key)] = {value.value("label", ""), value.value("note", "")};
    } catch (const std::logic_error&) {  // not an episode's number: not ours to read
    }
  }
  return out;
}

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

Json labels_after_delete(const Json& labels, long deleted) {
  Json out = Json::object();
  if (!labels.is_object()) return out;
  for (const auto& [key, value] : labels.items()) {
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
