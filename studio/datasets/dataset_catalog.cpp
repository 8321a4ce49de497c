#include "studio/datasets/dataset_catalog.hpp"

#include <cctype>

#include "kit/json/text.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_library.hpp"
#include "studio/datasets/exporter.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

bool holds_dataset(const fs::path& dir) {
  std::error_code ignored;
  return fs::is_regular_file(dir / "meta" / "info.json", ignored);
}

}  // namespace

std::string repo_id_of(const fs::path& dataset) {
  const fs::path sidecar = dataset / "meta" / "tessaline.json";
  if (fs::exists(sidecar)) {
    try {
      const Json j = Json::parse(read_file(sidecar));
      if (j.contains("repo_id") && j["repo_id"].is_string() && !j["repo_id"].get<std::string>().empty()) return j["repo_id"];
    } catch (const std::exception&) {
    }
  }
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

DatasetCatalog::DatasetCatalog(fs::path data_dir, std::vector<fs::path> other_roots)
    : data_dir_(std::move(data_dir)), other_roots_(std::move(other_roots)) {}

std::vector<DatasetEntry> DatasetCatalog::others() const {
  std::vector<DatasetEntry> out;
  for (const auto& root : other_roots_) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_directory(error)) continue;
      if (holds_dataset(it->path())) {
        out.push_back({it->path().lexically_relative(root).generic_string(), it->path(), true});
        it.disable_recursion_pending();
      } else if (it.depth() >= 1) {
        it.disable_recursion_pending();  // <org>/<name> at most
      }
    }
  }
  return out;
}

std::vector<DatasetEntry> DatasetCatalog::all() const {
  std::vector<DatasetEntry> out;
  const fs::path own = data_dir_ / "datasets";
  if (fs::exists(own)) {
    for (const auto& d : fs::directory_iterator(own)) {
      if (d.is_directory() && holds_dataset(d.path())) out.push_back({repo_id_of(d.path()), d.path(), false});
    }
  }
  for (auto& other : others()) {
    const bool shadowed = std::any_of(out.begin(), out.end(), [&](const DatasetEntry& e) { return !e.read_only && e.repo_id == other.repo_id; });
    if (!shadowed) out.push_back(std::move(other));
  }
  return out;
}

DatasetEntry DatasetCatalog::find(const std::string& repo_id) const {
  const fs::path own = dataset_dir(data_dir_, repo_id);
  if (holds_dataset(own)) return {repo_id, own, false};
  for (auto& other : others()) {
    if (other.repo_id == repo_id) return other;
  }
  throw DatasetNotFound("no dataset " + repo_id);
}

}  // namespace studio
