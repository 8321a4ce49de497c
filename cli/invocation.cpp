#include "cli/invocation.hpp"

#include <filesystem>
#include <system_error>

#include "tessaline/build_info.hpp"

namespace tessaline::cli {
namespace {

std::string& invoked() {
  static std::string name = "tessaline";
  return name;
}

// A path as a shell takes it.
std::string quoted(const std::string& path) {
  if (path.find_first_of(" \t'\"$\\&;|<>()*?`") == std::string::npos) return path;
  std::string out = "'";
  for (const char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool runs_from_build_tree() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path tree = build_info::BINARY_DIR;
  if (ec) return true;
  const auto rel = exe.lexically_relative(tree);
  return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

void remember_invocation(const char* argv0) {
  const std::string typed = argv0 ? argv0 : "";
  if (typed.find('/') != std::string::npos) invoked() = quoted(typed);
}

std::string command_name() { return invoked(); }

std::string update_command() {
  std::string out = "cd " + quoted(build_info::SOURCE_DIR) + " && ";
  out += build_info::SOURCE_IS_CHECKOUT ? "git pull && ./scripts/build" : "./scripts/build";
  if (!runs_from_build_tree()) out += " && cmake --install " + quoted(build_info::BINARY_DIR);
  return out;
}

}  // namespace tessaline::cli
