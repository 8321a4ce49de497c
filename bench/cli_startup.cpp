// How fast a command that touches no hardware or network comes back:
// `tessaline --help`, against the start-up of the smallest program of this
// build measured in the same run.
//   cli_startup [RUNS]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/report.hpp"

extern char** environ;

namespace {

struct Sample {
  double ms;
  long max_rss_kb;
};

Sample run_once(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  posix_spawn_file_actions_destroy(&actions);
  return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
          usage.ru_maxrss};
}

Sample median(const std::vector<std::string>& args, int runs) {
  std::vector<double> times;
  long rss = 0;
  for (int i = 0; i < runs; ++i) {
    const Sample s = run_once(args);
    times.push_back(s.ms);
    rss = std::max(rss, s.max_rss_kb);
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], rss};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 30;
  const std::string bin = TESSALINE_BIN_DIR;
  // No network during the measurement: the update check goes to a closed port.
  setenv("TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9", 1);
  const Sample help = median({bin + "/tessaline", "--help"}, runs);
  const Sample base = median({bin + "/config_probe"}, runs);
  const double limit_ms = base.ms * 5;  // a handful of dynamic-library loads more than a bare program
  std::printf("tessaline --help: median %.2f ms, peak RSS %.1f MiB (%d runs)\n", help.ms, help.max_rss_kb / 1024.0,
              runs);
  std::printf("baseline program: median %.2f ms, peak RSS %.1f MiB\n", base.ms, base.max_rss_kb / 1024.0);
  std::printf("ratio to limit (5 x baseline): %.2f (goal <= 1.00)\n", help.ms / limit_ms);
  bench::report("tessaline --help time vs 5x a bare program", bench::format("%.2f", help.ms / limit_ms), "<= 1.00",
                help.ms <= limit_ms);
  return 0;
}
