#pragma once
// Runs a program to completion and captures what it printed.
#include <map>
#include <string>
#include <vector>

namespace test_support {

struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::map<std::string, std::string> set_env;  // added to (or replacing in) the environment
  std::vector<std::string> unset_env;
  std::string stdin_text;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program running beside the test, its output going to a file; stopped
// with SIGTERM (then waited for) when the object goes.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  std::string output() const;  // what it printed so far
  int stop();                  // SIGTERM, wait; the exit status
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  std::string log_path_;
};

// CPU time (user + system) a running process has used, in seconds.
double cpu_seconds(int pid);

// Threads of this process now.
long thread_count();
// Idle pool threads (GLib's, gRPC's) come and go: the lowest count seen
// within `window_seconds`, stopping early once it is at most `enough`.
long settled_thread_count(double window_seconds, long enough);

// Path of a program built into the build tree's bin/ directory.
std::string built_program(const std::string& name);

}  // namespace test_support
