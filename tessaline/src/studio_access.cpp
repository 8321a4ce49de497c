#include "studio_access.hpp"

#include <cstdlib>
#include <string>

namespace tessaline::studio_access {
namespace {

std::string token() {
  const char* value = std::getenv("TESSALINE_STUDIO_TOKEN");
  return value ? value : "";
}

}  // namespace

kit::http::Headers http_headers() {
  const std::string t = token();
  if (t.empty()) return {};
  return {{"Authorization", "Bearer " + t}};
}

kit::http::Headers grpc_metadata() {
  const std::string t = token();
  if (t.empty()) return {};
  return {{"authorization", "Bearer " + t}};
}

}  // namespace tessaline::studio_access
