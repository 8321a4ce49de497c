#include "cli/cameras.hpp"

#include <cstdlib>
#include <fstream>

#include "armkit/cameras/camera.hpp"
#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/spinner.hpp"

namespace tessaline::ports {
namespace {
kit::console::Console console;

int usable_fps(int reported) {
  const int fps = reported == 0 ? 30 : reported;
  return fps < 10 ? 10 : fps;
}
}  // namespace

std::vector<DetectedCamera> detect_cameras(int max_index) {
  std::vector<DetectedCamera> found;
  kit::console::Status spinner(console, "[cyan]Scanning for cameras...");
  for (int index = 0; index < max_index; ++index) {
    if (const auto cam = armkit::probe_camera_index(index)) {
      found.push_back({index, cam->width, cam->height, usable_fps(cam->fps)});
    }
  }
  if (const char* manifest = std::getenv("TESSALINE_VIRTUAL_HARDWARE"); manifest && *manifest) {
    try {
      std::ifstream in(manifest);
      const auto doc = kit::json::Json::parse(in);
      for (const auto& c : doc.value("cameras", kit::json::Json::array())) {
        const std::string id = c.at("index_or_path").get<std::string>();
        if (id.rfind("virtual:", 0) != 0) continue;
        if (const auto cam = armkit::probe_virtual_camera(id.substr(8))) {
          found.push_back({id, cam->width, cam->height, usable_fps(c.value("fps", cam->fps))});
        }
      }
    } catch (const std::exception&) {
      // An unusable manifest adds no cameras; port enumeration says why.
    }
  }
  return found;
}

}  // namespace tessaline::ports

namespace tessaline::cameras {
namespace {
kit::console::Console console;
}

std::optional<kit::json::Json> detect_camera_configs(int max_index) {
  const auto cams = ports::detect_cameras(max_index);
  if (cams.empty()) return std::nullopt;
  kit::json::Json configs = kit::json::Json::object();
  std::string listing;
  for (size_t i = 0; i < cams.size(); ++i) {
    const auto& c = cams[i];
    const std::string name = cams.size() == 1 ? "front" : "cam_" + std::to_string(i);
    configs[name] = {{"type", "opencv"}, {"index_or_path", c.index_or_path}, {"width", c.width}, {"height", c.height},
                     {"fps", c.fps}};
    if (!listing.empty()) listing += ", ";
    listing += "idx=" + kit::json::py_str(c.index_or_path) + " (" + std::to_string(c.width) + "x" +
               std::to_string(c.height) + ")";
  }
  console.print("[green]Detected " + std::to_string(cams.size()) + " camera(s):[/green] " +
                kit::console::escape(listing));
  return configs;
}

}  // namespace tessaline::cameras
