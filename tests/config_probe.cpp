// Prints the settings as this process resolved them at start-up.
#include <cstdio>

#include "tessaline/config.hpp"

int main() {
  namespace c = tessaline::config;
  auto opt = [](const std::optional<std::string>& v) { return v ? v->c_str() : "<none>"; };
  std::printf("VELQUIN_HTTP_SERVER=%s\nVELQUIN_GRPC_SERVER=%s\nSTUDIO_URL=%s\n", c::VELQUIN_HTTP_SERVER.c_str(),
              c::VELQUIN_GRPC_SERVER.c_str(), c::STUDIO_URL.c_str());
  std::printf("TURN_USERNAME=%s\nTURN_CREDENTIAL=%s\n", opt(c::TURN_USERNAME), opt(c::TURN_CREDENTIAL));
  std::printf("HF_HOME=%s\nHF_LEROBOT_HOME=%s\n", c::HF_HOME.c_str(), c::HF_LEROBOT_HOME.c_str());
}
