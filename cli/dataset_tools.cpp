// The entry of libtessaline_datasets.so: `tessaline dataset info|check|delete|split|merge|rename-task|label`
// on any v3.0 dataset folder, with the studio's own dataset library.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "cli/command_errors.hpp"
#include "cli/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/files/atomic_file.hpp"
#include "kit/json/text.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_check.hpp"
#include "studio/datasets/dataset_merge.hpp"
#include "studio/datasets/datasets_lock.hpp"
#include "studio/datasets/episode_deletion.hpp"
#include "studio/datasets/episode_labels.hpp"
#include "studio/datasets/task_rename.hpp"

namespace tessaline::cli {
namespace {

namespace fs = std::filesystem;
using kit::console::escape;
using kit::json::Json;

fs::path dataset_folder(const Json& options) {
  const fs::path dir = options.value("dir", "");
  if (!fs::exists(dir / "meta" / "info.json")) {
    throw std::runtime_error("no dataset at " + dir.string() + " (no meta/info.json there): name a dataset folder");
  }
  return dir;
}

std::string size_text(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  int u = 0;
  while (bytes >= 1000 && u < 4) {
    bytes /= 1000;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return text;
}

std::string duration_text(double seconds) {
  const long s = std::lround(seconds);
  return s >= 60 ? std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s" : std::to_string(s) + " s";
}

void info(const Json& options) {
  const fs::path dir = dataset_folder(options);
  const Json d = studio::describe_dataset(dir);
  if (options.value("json", false)) {
    std::printf("%s\n", kit::json::to_wire(d).c_str());
    return;
  }
  console.print("[bold]" + escape(dir.string()) + "[/bold]  (" + escape(d["version"].get<std::string>()) + ", " +
                escape(d["robotType"].get<std::string>()) + ", " + std::to_string(d["fps"].get<int>()) + " fps)");
  console.print("  " + std::to_string(d["episodes"].get<long>()) + " episodes, " + std::to_string(d["frames"].get<long>()) +
                " frames (" + duration_text(d["durationSeconds"].get<double>()) + "), " +
                std::to_string(d["tasks"].size()) + " task(s)");
  for (const auto& task : d["tasks"]) console.print("    task: " + escape(task.dump()));
  for (const auto& [key, feature] : d["features"].items()) {
    console.print("  " + escape(key) + ": " + escape(feature["dtype"].get<std::string>()) + " " + escape(feature["shape"].dump()));
  }
  for (const auto& [key, camera] : d["cameras"].items()) {
    console.print("  " + escape(key) + ": " + escape(camera["codec"].get<std::string>()) + " " +
                  std::to_string(camera["width"].get<int>()) + "x" + std::to_string(camera["height"].get<int>()));
  }
  const Json& files = d["files"];
  console.print("  files: " + std::to_string(files["data"].get<long>()) + " data, " + std::to_string(files["episodes"].get<long>()) +
                " episodes, " + std::to_string(files["videos"].get<long>()) + " videos; " + size_text(d["bytes"].get<double>()));
}

void check(const Json& options) {
  const fs::path dir = dataset_folder(options);
  console.print("Checking " + escape(dir.string()) + " ...");
  const auto problems = studio::check_dataset(dir);
  if (problems.empty()) {
    const Json d = studio::describe_dataset(dir);
    console.print("[green]" + escape(dir.string()) + " reads clean[/green]: " + std::to_string(d["episodes"].get<long>()) +
                  " episodes, " + std::to_string(d["frames"].get<long>()) + " frames, " + std::to_string(d["cameras"].size()) +
                  " camera(s) checked");
    return;
  }
  console.print("[red]" + escape(dir.string()) + ": " + std::to_string(problems.size()) + " problem(s)[/red]");
  for (const auto& p : problems) console.print("  " + escape(p));
  throw CommandExit{1};
}

// Said once when another program holds the lock of the folder a change is in.
std::function<void()> waiting_for(const fs::path& folder) {
  return [folder] { console.print("Another program is changing a dataset in " + escape(folder.string()) + "; waiting for it..."); };
}

// "3,5-7" → {3, 5, 6, 7}, each below `total`.
std::set<long> episode_list(const std::string& text, long total) {
  std::set<long> out;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    at = comma + 1;
    const size_t dash = item.find('-', 1);
    long first = -1, last = -1;
    try {
      size_t used = 0;
      first = std::stol(item.substr(0, dash), &used);
      if (used != item.substr(0, dash).size()) throw std::invalid_argument(item);
      last = first;
      if (dash != std::string::npos) {
        last = std::stol(item.substr(dash + 1), &used);
        if (used != item.size() - dash - 1) throw std::invalid_argument(item);
      }
    } catch (const std::logic_error&) {
      throw std::invalid_argument("--episodes: \"" + item + "\" is no episode index or range (e.g. 3,5-7)");
    }
    if (last < first) throw std::invalid_argument("--episodes: " + item + " runs backwards; write the lower index first");
    if (first < 0 || last >= total) {
      throw std::invalid_argument("--episodes: " + item + " is not among the dataset's episodes 0-" + std::to_string(total - 1));
    }
    for (long e = first; e <= last; ++e) out.insert(e);
  }
  return out;
}

void delete_episodes(const Json& options) {
  const fs::path dir = dataset_folder(options);
  const long total = Json::parse(studio::read_file(dir / "meta" / "info.json")).value("total_episodes", 0L);
  const std::set<long> episodes = episode_list(options.value("episodes", ""), total);
  if (static_cast<long>(episodes.size()) >= total) {
    throw std::invalid_argument("that is every episode of the dataset: remove its folder instead");
  }
  // From the last down, so the indices named stay the episodes meant.
  long frames = 0;
  for (auto e = episodes.rbegin(); e != episodes.rend(); ++e) {
    const auto deleted = studio::delete_episode(dir, *e, waiting_for(dir.parent_path()));
    frames += deleted.frames;
    console.print("Deleted episode " + std::to_string(*e) + " (" + std::to_string(deleted.frames) + " frames); " +
                  std::to_string(deleted.episodes_left) + " episodes left");
  }
  const auto problems = studio::check_dataset(dir);
  if (!problems.empty()) {
    console.print("[red]The dataset does not read clean after the delete:[/red]");
    for (const auto& p : problems) console.print("  " + escape(p));
    throw CommandExit{1};
  }
  console.print("[green]" + std::to_string(episodes.size()) + " episode(s), " + std::to_string(frames) +
                " frames deleted; the dataset reads clean[/green]");
}

// A new dataset at --to, made aside by `make` in a folder beside it, named
// as asked (or by its folder), checked, then given its name; nothing of it
// is left behind when any step fails. Returns its total frames.
long into_new_dataset(const Json& options, const std::vector<fs::path>& sources, const std::function<void(const fs::path&)>& make) {
  fs::path to = fs::absolute(options.value("split_to", "")).lexically_normal();
  if (!to.has_filename()) to = to.parent_path();  // named with a trailing slash
  for (const auto& dir : sources) {
    const auto [inside, rest] = std::mismatch(dir.begin(), dir.end(), to.begin(), to.end());
    if (inside == dir.end()) throw std::invalid_argument("--to " + to.string() + " is inside the dataset " + dir.string() + ": name a folder outside it");
  }
  if (fs::exists(to)) throw std::invalid_argument("--to " + to.string() + " exists already: name a folder that does not");
  if (!fs::is_directory(to.parent_path())) throw std::invalid_argument("--to: there is no folder " + to.parent_path().string());
  const fs::path partial = to.parent_path() / ("." + to.filename().string() + ".partial-" + std::to_string(getpid()));
  try {
    make(partial);
    // The new dataset is a repository of its own: named as asked (or by its
    // folder), without the export jobs the original's publication recorded.
    const fs::path sidecar = partial / "meta" / "tessaline.json";
    if (fs::exists(sidecar)) {
      Json own = Json::parse(studio::read_file(sidecar));
      own.erase("jobs");
      if (const std::string repo = options.value("repo_id", ""); !repo.empty()) own["repo_id"] = repo;
      else own.erase("repo_id");
      kit::files::write_atomically(sidecar, kit::json::to_file(own));
    }
    const auto problems = studio::check_dataset(partial);
    if (!problems.empty()) {
      console.print("[red]The new dataset does not read clean; nothing was written:[/red]");
      for (const auto& p : problems) console.print("  " + escape(p));
      throw CommandExit{1};
    }
    const long frames = Json::parse(studio::read_file(partial / "meta" / "info.json")).value("total_frames", 0L);
    fs::rename(partial, to);
    return frames;
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    throw;
  }
}

// A dataset's folder copied whole, under its lock.
void copy_dataset(const fs::path& dir, const fs::path& to) {
  const studio::DatasetsLock lock(dir, waiting_for(dir.parent_path()));
  fs::copy(dir, to, fs::copy_options::recursive);
}

// The episodes named, copied into a new dataset: DIR is copied aside, the
// other episodes are deleted from the copy (their video copied, labels and
// tasks following).
void split(const Json& options) {
  const fs::path dir = dataset_folder(options);
  const long total = Json::parse(studio::read_file(dir / "meta" / "info.json")).value("total_episodes", 0L);
  const std::set<long> kept = episode_list(options.value("episodes", ""), total);
  const std::string to = options.value("split_to", "");
  fs::path whole = fs::absolute(dir).lexically_normal();
  if (!whole.has_filename()) whole = whole.parent_path();
  const long frames = into_new_dataset(options, {whole}, [&](const fs::path& partial) {
    copy_dataset(dir, partial);
    for (long e = total - 1; e >= 0; --e) {
      if (!kept.contains(e)) studio::delete_episode(partial, e, waiting_for(partial.parent_path()));
    }
  });
  console.print("[green]" + std::to_string(kept.size()) + " episode(s), " + std::to_string(frames) + " frames copied to " +
                escape(to) + " (numbered from 0); " + escape(dir.string()) + " is unchanged[/green]");
}

// The datasets named, one after another, in a new dataset: the first is
// copied aside, each other's episodes added after its own (their video
// copied, their tasks, labels and quality records following).
void merge(const Json& options) {
  std::vector<fs::path> sources, whole;
  for (const auto& dir : options.at("sources")) {
    sources.push_back(dataset_folder(Json{{"dir", dir}}));
    fs::path path = fs::absolute(sources.back()).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    if (std::find(whole.begin(), whole.end(), path) != whole.end()) throw std::invalid_argument(path.string() + " is named twice");
    whole.push_back(path);
  }
  if (sources.size() < 2) throw std::invalid_argument("name at least two datasets to merge");
  long episodes = 0;
  const long frames = into_new_dataset(options, whole, [&](const fs::path& partial) {
    copy_dataset(sources[0], partial);
    episodes = Json::parse(studio::read_file(partial / "meta" / "info.json")).value("total_episodes", 0L);
    for (size_t i = 1; i < sources.size(); ++i) {
      const studio::DatasetsLock lock(sources[i], waiting_for(sources[i].parent_path()));
      const auto added = studio::append_dataset(partial, sources[i]);
      console.print(escape(sources[i].string()) + ": episodes " + std::to_string(episodes) + "-" +
                    std::to_string(episodes + added.episodes - 1) + " of the merge");
      episodes += added.episodes;
    }
  });
  console.print("[green]" + std::to_string(episodes) + " episode(s), " + std::to_string(frames) + " frames merged into " +
                escape(options.value("split_to", "")) + "; the datasets merged are unchanged[/green]");
}

void rename_task(const Json& options) {
  const fs::path dir = dataset_folder(options);
  const std::string from = options.value("from", ""), to = options.value("to", "");
  const long episodes = studio::rename_task(dir, from, to, waiting_for(dir.parent_path()));
  console.print("[green]The task " + escape(Json(from).dump()) + " is now " + escape(Json(to).dump()) + " (" +
                std::to_string(episodes) + " episode(s))[/green]");
}

void label(const Json& options) {
  const fs::path dir = dataset_folder(options);
  const std::string verdict = options.value("label", "");
  std::optional<studio::EpisodeLabel> label;
  if (verdict != "none") label = studio::EpisodeLabel{verdict, options.value("note", "")};
  const long episode = options.value("episode", -1L);
  studio::label_episode(dir, episode, label, waiting_for(dir.parent_path()));
  console.print(label ? "Episode " + std::to_string(episode) + " labelled " + escape(verdict)
                      : "Episode " + std::to_string(episode) + " has no label now");
}

}  // namespace
}  // namespace tessaline::cli

extern "C" __attribute__((visibility("default"))) int tessaline_datasets_main(const char* command, int, const char* options_json) {
  using namespace tessaline::cli;
  const std::string name = command;
  return run_reporting_errors([&] {
    const auto options = kit::json::Json::parse(options_json);
    if (name == "info") info(options);
    else if (name == "check") check(options);
    else if (name == "delete") delete_episodes(options);
    else if (name == "split") split(options);
    else if (name == "merge") merge(options);
    else if (name == "rename-task") rename_task(options);
    else if (name == "label") label(options);
    else throw std::invalid_argument("no dataset tool " + name);
  });
}
