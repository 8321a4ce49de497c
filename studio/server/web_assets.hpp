#pragma once
// The operator app and sign-in page, compiled into the program.
#include <string_view>

namespace studio {

struct WebAsset {
  std::string_view path;  // file name under studio/server/web, e.g. "app.js"
  std::string_view content_type;
  std::string_view body;
};

// nullptr when no asset has that name.
const WebAsset* find_web_asset(std::string_view name);

}  // namespace studio
