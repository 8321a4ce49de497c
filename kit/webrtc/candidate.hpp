#pragma once
// ICE candidate lines of SDP ("candidate:1 1 udp 2122260223 10.0.0.2 54321
// typ host ..."), as peers send them through signaling.
#include <cstdint>
#include <optional>
#include <string>

namespace kit::webrtc {

struct Candidate {
  std::string foundation;
  int component = 0;
  std::string protocol;  // "udp" or "tcp", lower case
  uint32_t priority = 0;
  std::string address;
  int port = 0;
  std::string type;  // host, srflx, prflx, relay
  std::optional<std::string> related_address;
  std::optional<int> related_port;
  std::optional<std::string> tcp_type;
};

// Parses a candidate line with or without its "a=" prefix; throws
// WebRtcError naming what is wrong.
Candidate parse_candidate(const std::string& line);

}  // namespace kit::webrtc
