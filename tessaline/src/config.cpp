#include "tessaline/config.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "tessaline/build_info.hpp"

namespace tessaline::config {
namespace {

std::optional<std::string> lookup(const std::map<std::string, std::string>& env, const char* name) {
  if (auto it = env.find(name); it != env.end()) return it->second;
  return std::nullopt;
}

std::string join(const std::string& base, const std::string& part) {
  if (base.empty() || base.back() == '/') return base + part;
  return base + "/" + part;
}

std::string home_directory() {
  if (const char* home = std::getenv("HOME")) return home;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}

std::map<std::string, std::string> process_environment() {
  std::map<std::string, std::string> env;
  for (const char* name : {"VELQUIN_HTTP_SERVER", "VELQUIN_GRPC_SERVER", "STUDIO_URL", "TURN_USERNAME",
                           "TURN_CREDENTIAL", "HF_HOME", "HF_LEROBOT_HOME"}) {
    if (const char* value = std::getenv(name)) env.emplace(name, value);
  }
  return env;
}

const Settings& startup() {
  static const Settings settings = resolve(process_environment(), home_directory());
  return settings;
}

}  // namespace

Settings resolve(const std::map<std::string, std::string>& env, const std::string& home) {
  Settings s;
  s.VELQUIN_HTTP_SERVER = lookup(env, "VELQUIN_HTTP_SERVER").value_or(build_info::DEFAULT_HTTP_SERVER);
  s.VELQUIN_GRPC_SERVER = lookup(env, "VELQUIN_GRPC_SERVER").value_or(build_info::DEFAULT_GRPC_SERVER);
  s.STUDIO_URL = lookup(env, "STUDIO_URL").value_or(build_info::DEFAULT_STUDIO_URL);
  s.TURN_USERNAME = lookup(env, "TURN_USERNAME");
  s.TURN_CREDENTIAL = lookup(env, "TURN_CREDENTIAL");
  s.HF_HOME = lookup(env, "HF_HOME").value_or(join(join(home, ".cache"), "huggingface"));
  s.HF_LEROBOT_HOME = lookup(env, "HF_LEROBOT_HOME").value_or(join(s.HF_HOME, "lerobot"));
  return s;
}

// Initialised in declaration order, once, before main.
std::string VELQUIN_HTTP_SERVER = startup().VELQUIN_HTTP_SERVER;
std::string VELQUIN_GRPC_SERVER = startup().VELQUIN_GRPC_SERVER;
std::string STUDIO_URL = startup().STUDIO_URL;
std::optional<std::string> TURN_USERNAME = startup().TURN_USERNAME;
std::optional<std::string> TURN_CREDENTIAL = startup().TURN_CREDENTIAL;
std::string HF_HOME = startup().HF_HOME;
std::string HF_LEROBOT_HOME = startup().HF_LEROBOT_HOME;

}  // namespace tessaline::config
