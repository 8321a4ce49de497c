#include "armkit/robots/calibration.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "kit/files/atomic_file.hpp"
#include "kit/json/text.hpp"

namespace armkit {
namespace {

namespace fs = std::filesystem;
using kit::json::Json;

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

constexpr const char* kFields[] = {"id", "drive_mode", "homing_offset", "range_min", "range_max"};

}  // namespace

std::string expand_user(const std::string& path) {
  if (!path.starts_with("~")) return path;
  const size_t slash = path.find('/');
  const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string home;
  if (user.empty() && env("HOME")) {
    home = env("HOME");
  } else {
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    const int r = user.empty() ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                               : getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (r != 0 || !found) return path;  // no such user: left as it is
    home = found->pw_dir;
  }
  return home + (slash == std::string::npos ? "" : path.substr(slash));
}

std::string expand_vars(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size();) {
    if (path[i] != '$') {
      out += path[i++];
      continue;
    }
    const bool braced = i + 1 < path.size() && path[i + 1] == '{';
    const size_t start = i + (braced ? 2 : 1);
    size_t end = start;
    while (end < path.size() && (std::isalnum(static_cast<unsigned char>(path[end])) || path[end] == '_')) ++end;
    const bool closed = !braced || (end < path.size() && path[end] == '}');
    const char* value = end > start && closed ? std::getenv(path.substr(start, end - start).c_str()) : nullptr;
    if (!value) {  // unknown or malformed: kept as written
      out += path[i++];
      continue;
    }
    out += value;
    i = end + (braced ? 1 : 0);
  }
  return out;
}

fs::path hf_home() {
  std::string base;
  if (const char* hf = env("HF_HOME")) {
    base = hf;
  } else {
    const char* cache = env("XDG_CACHE_HOME");
    base = (cache ? std::string(cache) : expand_user("~") + "/.cache") + "/huggingface";
  }
  return expand_vars(expand_user(base));
}

const MotorCalibration* find_motor(const Calibration& calibration, const std::string& motor) {
  for (const auto& [name, c] : calibration) {
    if (name == motor) return &c;
  }
  return nullptr;
}

bool full_turn_joint(const std::string& type, const std::string& joint) {
  return joint == "wrist_roll" || (type.starts_with("koch") && joint == "shoulder_pan");
}

fs::path calibration_root() {
  if (const char* dir = env("HF_LEROBOT_CALIBRATION")) return expand_user(dir);
  if (const char* home = env("HF_LEROBOT_HOME")) return fs::path(expand_user(home)) / "calibration";
  return hf_home() / "lerobot" / "calibration";
}

std::string calibration_class(const std::string& type) {
  for (const char* role : {"_follower", "_leader"}) {
    const std::string suffix = role;
    if (type.size() > suffix.size() && type.ends_with(suffix) && type.starts_with("so10")) return "so" + suffix;
  }
  return type;
}

fs::path calibration_path(const std::string& type, const std::string& id) {
  const bool follower = type.ends_with("_follower");
  return calibration_root() / (follower ? "robots" : "teleoperators") / calibration_class(type) / (id + ".json");
}

std::optional<fs::path> find_calibration(const std::string& type, const std::string& id) {
  const fs::path current = calibration_path(type, id);
  if (fs::exists(current)) return current;
  const fs::path older = current.parent_path().parent_path() / type / (id + ".json");
  if (fs::exists(older)) return older;
  return std::nullopt;
}

void save_calibration(const fs::path& path, const Calibration& calibration) {
  kit::json::Json doc = kit::json::Json::object();
  for (const auto& [motor, c] : calibration) {
    doc[motor] = {{"id", c.id},
                  {"drive_mode", c.drive_mode},
                  {"homing_offset", c.homing_offset},
                  {"range_min", c.range_min},
                  {"range_max", c.range_max}};
  }
  fs::create_directories(path.parent_path());
  kit::files::write_atomically(path, doc.dump(4));
}

Calibration load_calibration(const fs::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the calibration file " + path.string());
  kit::json::Json doc;
  try {
    doc = kit::json::Json::parse(in);
  } catch (const std::exception&) {
    throw std::runtime_error(path.string() + " is not valid JSON");
  }
  if (!doc.is_object()) throw std::runtime_error(path.string() + " does not hold a calibration object");
  Calibration out;
  for (const auto& [motor, entry] : doc.items()) {
    MotorCalibration c;
    int* slots[] = {&c.id, &c.drive_mode, &c.homing_offset, &c.range_min, &c.range_max};
    for (size_t i = 0; i < std::size(kFields); ++i) {
      if (!entry.is_object() || !entry.contains(kFields[i]) || !entry[kFields[i]].is_number_integer()) {
        throw std::runtime_error(path.string() + ": motor '" + motor + "' needs an integer \"" + kFields[i] + "\"");
      }
      const auto v = entry[kFields[i]].get<long long>();
      if (v < -1'000'000'000 || v > 1'000'000'000) {
        throw std::runtime_error(path.string() + ": \"" + kFields[i] + "\" of motor '" + motor + "' is out of range");
      }
      *slots[i] = static_cast<int>(v);
    }
    out.emplace_back(motor, c);
  }
  return out;
}

}  // namespace armkit
