// Fuzz target: loading "ports.json" and "setup.json", which users may edit
// by hand. Anything may fail with an exception; nothing may crash.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/saved_config.hpp"
#include "tessaline/config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path home = [] {
    const auto dir = std::filesystem::temp_directory_path() / ("fuzz-saved-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "tessaline");
    tessaline::config::HF_LEROBOT_HOME = dir.string();
    setenv("TESSALINE_VIRTUAL_HARDWARE", "/nonexistent", 1);
    return dir;
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::ofstream(home / "tessaline/ports.json", std::ios::binary | std::ios::trunc) << text;
  std::ofstream(home / "tessaline/setup.json", std::ios::binary | std::ios::trunc) << text;
  try {
    (void)tessaline::ports::list_saved_configs();
  } catch (const std::exception&) {
  }
  try {
    (void)tessaline::ports::load_port_config("arm");
  } catch (const std::exception&) {
  }
  try {
    (void)tessaline::ports::load_capture_setup();
  } catch (const std::exception&) {
  }
  return 0;
}
