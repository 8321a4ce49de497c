#include "tests/support/terminal.hpp"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace test_support {

Terminal::Terminal(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set_env) {
  winsize size{};
  size.ws_row = 50;
  size.ws_col = 120;
  pid_ = forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ < 0) throw std::runtime_error("forkpty failed");
  if (pid_ == 0) {
    for (const auto& [k, v] : set_env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Terminal::~Terminal() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

void Terminal::read_for(std::chrono::milliseconds limit) {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return;
  char buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n > 0) output_.append(buffer, static_cast<size_t>(n));
}

bool Terminal::expect(const std::string& text, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (const auto at = output_.find(text, matched_); at != std::string::npos) {
      matched_ = at + text.size();
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    read_for(std::chrono::milliseconds(100));
  }
}

void Terminal::type(const std::string& keys) {
  if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("could not type into the terminal");
  }
}

int Terminal::wait(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      while (true) {  // keep what it printed last
        const size_t before = output_.size();
        read_for(std::chrono::milliseconds(50));
        if (output_.size() == before) break;
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    read_for(std::chrono::milliseconds(50));
  }
  return -1;
}

}  // namespace test_support
