#pragma once
// Centralized configuration of the SDK. Every value is read once from the
// environment variable of the same name when the program starts; the values
// can be overridden by setting the corresponding environment variables.
// Later changes to the environment are not seen; assigning to a value here
// is, by every later reader.
#include <map>
#include <optional>
#include <string>

namespace tessaline::config {

extern std::string VELQUIN_HTTP_SERVER;  // backend HTTP API base URL
extern std::string VELQUIN_GRPC_SERVER;  // Arrow Flight location, "grpc://host:port"
extern std::string STUDIO_URL;           // studio web application base URL
extern std::optional<std::string> TURN_USERNAME;    // TURN relay user; unset → none
extern std::optional<std::string> TURN_CREDENTIAL;  // TURN relay credential; unset → none
extern std::string HF_HOME;              // only used to derive HF_LEROBOT_HOME
extern std::string HF_LEROBOT_HOME;      // directory of the saved setup files

// The seven settings as computed from an environment (name → value; a
// missing name is an unset variable) and a home directory.
struct Settings {
  std::string VELQUIN_HTTP_SERVER;
  std::string VELQUIN_GRPC_SERVER;
  std::string STUDIO_URL;
  std::optional<std::string> TURN_USERNAME;
  std::optional<std::string> TURN_CREDENTIAL;
  std::string HF_HOME;
  std::string HF_LEROBOT_HOME;
};
Settings resolve(const std::map<std::string, std::string>& environment, const std::string& home);

}  // namespace tessaline::config
