#include "cli/runtime_loader.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

namespace tessaline::cli {
namespace {

using Entry = int (*)(const char*, int, const char*);

// Beside the program (the build tree), then where `cmake --install` puts it.
std::filesystem::path find_module(const std::string& module, const std::string& what) {
  const auto program_dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  for (const auto& dir : {program_dir, program_dir / TESSALINE_RUNTIME_RELATIVE_DIR}) {
    if (std::filesystem::exists(dir / module)) return dir / module;
  }
  throw std::runtime_error(what + " " + module + " was not found beside " + program_dir.string() + " or in " +
                           (program_dir / TESSALINE_RUNTIME_RELATIVE_DIR).string());
}

// The module stays loaded until the program ends.
Entry load_entry(const std::string& module, const char* symbol, const std::string& what) {
  const auto path = find_module(module, what);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(what + " could not be loaded: " + std::string(dlerror()));
  const auto entry = reinterpret_cast<Entry>(dlsym(handle, symbol));
  if (!entry) throw std::runtime_error(path.string() + " is not " + what + " of this version");
  return entry;
}

}  // namespace

int run_in_runtime(const std::string& command, bool debug, const std::string& options_json) {
  const Entry entry = load_entry("libtessaline_runtime.so", "tessaline_runtime_main", "the capture runtime");
  return entry(command.c_str(), debug ? 1 : 0, options_json.c_str());
}

int run_dataset_tool(const std::string& command, const std::string& options_json) {
  const Entry entry = load_entry("libtessaline_datasets.so", "tessaline_datasets_main", "the dataset tools");
  return entry(command.c_str(), 0, options_json.c_str());
}

}  // namespace tessaline::cli
