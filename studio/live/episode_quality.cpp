#include "studio/live/episode_quality.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "studio/live/logged_frame.hpp"

namespace studio {
using kit::json::Json;

namespace {

constexpr double kLargest = 1e9;  // no count or rate of a recording gets near it
constexpr size_t kMostCameras = 16;
constexpr size_t kLongestName = 200;

double number(const Json& object, const char* key, const std::string& where) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < 0 ||
      it->get<double>() > kLargest) {
    throw std::invalid_argument(where + "\"" + key + "\" must be a number from 0 to 1e9");
  }
  return it->get<double>();
}

std::string percent(double part) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f %%", part * 100);
  return text;
}

std::string one_decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

Json checked_quality(const Json& given) {
  if (!given.is_object()) throw std::invalid_argument("\"quality\" must be an object");
  Json out = Json::object();
  for (const char* key : {"fps", "seconds", "ticks", "rate", "late_ticks", "skipped_ticks", "bus_retries"}) {
    const double value = number(given, key, "quality: ");
    out[key] = given.at(key).is_number_integer() ? Json(given.at(key)) : Json(value);
  }
  if (out["fps"].get<double>() <= 0) throw std::invalid_argument("quality: \"fps\" must be above 0");
  const auto cameras = given.find("cameras");
  if (cameras == given.end() || !cameras->is_object() || cameras->size() > kMostCameras) {
    throw std::invalid_argument("quality: \"cameras\" must be an object of at most 16 cameras");
  }
  out["cameras"] = Json::object();
  for (const auto& [name, camera] : cameras->items()) {
    if (name.empty() || name.size() > kLongestName || !valid_utf8(name) || !camera.is_object()) {
      throw std::invalid_argument("quality: each camera is named (at most 200 bytes of text) and an object");
    }
    const std::string where = "quality: camera \"" + name + "\": ";
    out["cameras"][name] = {{"fps", number(camera, "fps", where)}, {"repeated", number(camera, "repeated", where)}};
  }
  return out;
}

std::vector<std::string> quality_flags(const Json& quality) {
  std::vector<std::string> flags;
  try {
    const Json q = checked_quality(quality);
    const double fps = q["fps"].get<double>();
    const double ticks = q["ticks"].get<double>();
    const double rate = q["rate"].get<double>();
    if (rate < 0.9 * fps) flags.push_back("the loop ran at " + one_decimal(rate) + " of " + one_decimal(fps) + " frames/s");
    for (const auto& [name, camera] : q["cameras"].items()) {
      const double repeated = camera["repeated"].get<double>();
      if (ticks > 0 && repeated > 0.05 * ticks) {
        flags.push_back("camera " + name + ": " + percent(repeated / ticks) + " of its frames repeated");
      }
      if (camera["fps"].get<double>() < 0.9 * fps) {
        flags.push_back("camera " + name + " delivered " + one_decimal(camera["fps"].get<double>()) + " frames/s");
      }
    }
  } catch (const std::exception&) {
    // Not a record this studio wrote: nothing to say about it.
  }
  return flags;
}

}  // namespace studio
