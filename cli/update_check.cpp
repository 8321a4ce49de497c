#include <cstdlib>
#include <string>

#include "cli/cli.hpp"
#include "cli/console.hpp"
#include "cli/invocation.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/panel.hpp"
#include "kit/http/client.hpp"
#include "tessaline/build_info.hpp"

namespace tessaline::cli {
namespace {

constexpr double kIndexTimeoutSeconds = 3.0;

// The index may be pointed elsewhere (a mirror, or a local server in tests).
std::string package_index() {
  const char* override_url = std::getenv("TESSALINE_PACKAGE_INDEX");
  return override_url && *override_url ? override_url : build_info::DEFAULT_PACKAGE_INDEX;
}

}  // namespace

void check_for_updates() {
  try {
    const std::string current = build_info::VERSION;
    const auto response =
        kit::http::get(package_index() + "/pypi/tessaline/json", kit::http::Seconds(kIndexTimeoutSeconds));
    const auto document = response.json();
    const std::string latest = document.at("info").at("version").get<std::string>();
    if (latest != current) {
      kit::console::print(console,
                          {"[bold yellow]" + kit::console::escape(update_command()) + "[/bold yellow]",
                           "✨ Update available! ✨", "yellow"},
                          kit::console::Justify::center);
    }
  } catch (...) {
    // An update check must never get in the way of the command.
  }
}

}  // namespace tessaline::cli
