#include "kit/loop/stop_point.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kit {

void stop_point(const char* name) {
  static const char* wanted = std::getenv("TESSALINE_STOP_AT");
  static std::once_flag stopped;
  if (!wanted || std::strcmp(wanted, name) != 0) return;
  std::call_once(stopped, [name] {
    std::fprintf(stderr, "stopping at %s (TESSALINE_STOP_AT)\n", name);
    std::fflush(stderr);
    std::raise(SIGSTOP);
  });
}

}  // namespace kit
