#include "studio/datasets/dataset_files.hpp"

#include <algorithm>
#include <cstdio>

namespace studio {
namespace fs = std::filesystem;

std::string FileSlot::path(const std::string& kind, const char* extension) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "/chunk-%03ld/file-%03ld", chunk, file);
  return kind + buf + extension;
}

FileSlot first_free_slot(const fs::path& dir) {
  FileSlot last{0, -1};
  if (fs::exists(dir)) {
    for (const auto& c : fs::directory_iterator(dir)) {
      long ci = 0;
      if (std::sscanf(c.path().filename().c_str(), "chunk-%ld", &ci) != 1) continue;
      for (const auto& f : fs::directory_iterator(c.path())) {
        long fi = 0;
        if (std::sscanf(f.path().filename().c_str(), "file-%ld", &fi) != 1) continue;
        if (ci > last.chunk || (ci == last.chunk && fi > last.file)) last = {ci, fi};
      }
    }
  }
  return last.next();
}

std::vector<fs::path> table_files(const fs::path& dir, std::string_view extension) {
  std::vector<fs::path> files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().extension() == extension) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace studio
