#pragma once
// One row of ./scripts/bench's table: a line "BENCH|metric|figure|goal|verdict"
// beside the bench's own output.
#include <cstdio>
#include <string>

namespace bench {

inline void report(const std::string& metric, const std::string& figure, const std::string& goal, bool met) {
  std::printf("BENCH|%s|%s|%s|%s\n", metric.c_str(), figure.c_str(), goal.c_str(), met ? "pass" : "FAIL");
  std::fflush(stdout);
}

inline std::string format(const char* pattern, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

}  // namespace bench
