#include <malloc.h>

#include <cstdlib>

#include "cli/cli.hpp"

int main(int argc, char** argv) {
  // `serve` runs for hours and each session starts threads of its own:
  // with glibc's default of an arena per thread, memory climbs for dozens
  // of sessions before it levels; two arenas keep it level from the start
  // (measured by bench/session_soak). MALLOC_ARENA_MAX still overrides it.
  if (!getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
  return tessaline::cli::main(argc, argv);
}
