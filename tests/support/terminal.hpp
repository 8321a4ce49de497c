#pragma once
// A program running in a pseudo-terminal of its own, as a user runs it:
// the test reads what it shows, types answers and presses Ctrl+C.
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace test_support {

class Terminal {
 public:
  Terminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set_env);
  ~Terminal();  // kills the program if it still runs
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Reads until `text` has appeared after the previous match; false after `limit`.
  bool expect(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(30));
  void type(const std::string& keys);  // "\x03" is Ctrl+C
  // The exit status, or -1 when the program is still running after `limit`.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  const std::string& output() const { return output_; }

 private:
  void read_for(std::chrono::milliseconds limit);

  int pid_ = -1;
  int master_ = -1;
  std::string output_;
  size_t matched_ = 0;
};

}  // namespace test_support
