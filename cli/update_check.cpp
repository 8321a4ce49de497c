#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

// Whether version `a` comes after `b`, part by part as numbers ("0.10" after
// "0.9"); a part's letters after its number mark a pre-release, which
// comes before the plain number ("1.2rc1" before "1.2").
bool newer(const std::string& a, const std::string& b) {
  const auto parts = [](const std::string& v) {
    std::vector<std::pair<long, std::string>> out;
    size_t at = 0;
    while (at <= v.size()) {
      const size_t dot = std::min(v.find('.', at), v.size());
      const std::string part = v.substr(at, dot - at);
      size_t digits = 0;
      while (digits < part.size() && std::isdigit(static_cast<unsigned char>(part[digits]))) ++digits;
      out.emplace_back(digits ? std::stol(part.substr(0, std::min<size_t>(digits, 9))) : 0, part.substr(digits));
      at = dot + 1;
    }
    return out;
  };
  auto x = parts(a), y = parts(b);
  const size_t n = std::max(x.size(), y.size());
  x.resize(n, {0, ""});
  y.resize(n, {0, ""});
  for (size_t i = 0; i < n; ++i) {
    if (x[i].first != y[i].first) return x[i].first > y[i].first;
    if (x[i].second != y[i].second) return x[i].second.empty() || (!y[i].second.empty() && x[i].second > y[i].second);
  }
  return false;
}

}  // namespace

void check_for_updates() {
  try {
    const std::string current = build_info::VERSION;
    const auto response =
        kit::http::get(package_index() + "/pypi/tessaline/json", kit::http::Seconds(kIndexTimeoutSeconds));
    const auto document = response.json();
    const std::string latest = document.at("info").at("version").get<std::string>();
    if (newer(latest, current)) {
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
