#pragma once
// How a sub-command's failure ends the program: its own exit status
// (CommandExit), 130 after Ctrl+C, or "Error: ..." on stderr and status 1.
#include <functional>

namespace tessaline::cli {

// Ends the command with this exit status and no error report.
struct CommandExit {
  int code;
};

int run_reporting_errors(const std::function<void()>& command);

}  // namespace tessaline::cli
