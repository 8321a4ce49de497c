#include "studio_access.hpp"

#include <cstdlib>
#include <string>

namespace tessaline::studio_access {
kit::http::Headers headers() {
  const char* token = std::getenv("TESSALINE_STUDIO_TOKEN");
  if (!token || !*token) return {};
  return {{"authorization", std::string("Bearer ") + token}};
}

}  // namespace tessaline::studio_access
