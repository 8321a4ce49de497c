#include "cli/runtime_loader.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

namespace tessaline::cli {
namespace {

constexpr const char* kModule = "libtessaline_runtime.so";

// Beside the program (the build tree), then where `cmake --install` puts it.
std::filesystem::path find_module() {
  const auto program_dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  for (const auto& dir : {program_dir, program_dir / TESSALINE_RUNTIME_RELATIVE_DIR}) {
    if (std::filesystem::exists(dir / kModule)) return dir / kModule;
  }
  throw std::runtime_error(std::string("the capture runtime ") + kModule + " was not found beside " +
                           program_dir.string() + " or in " + (program_dir / TESSALINE_RUNTIME_RELATIVE_DIR).string());
}

}  // namespace

int run_in_runtime(const std::string& command, bool debug, const std::string& options_json) {
  const auto path = find_module();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) throw std::runtime_error("the capture runtime could not be loaded: " + std::string(dlerror()));
  using Entry = int (*)(const char*, int, const char*);
  const auto entry = reinterpret_cast<Entry>(dlsym(module, "tessaline_runtime_main"));
  if (!entry) throw std::runtime_error(path.string() + " is not the capture runtime of this version");
  return entry(command.c_str(), debug ? 1 : 0, options_json.c_str());  // the module stays loaded until the program ends
}

}  // namespace tessaline::cli
