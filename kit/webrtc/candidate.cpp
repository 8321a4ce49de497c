#include "kit/webrtc/candidate.hpp"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <vector>

#include "kit/webrtc/peer_connection.hpp"

namespace kit::webrtc {
namespace {

template <typename T>
T number(const std::string& text, const char* what, T low, T high) {
  T value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value < low || value > high) {
    throw WebRtcError(std::string("bad candidate ") + what + " '" + text + "'");
  }
  return value;
}

}  // namespace

Candidate parse_candidate(const std::string& line_in) {
  std::string line = line_in;
  if (line.rfind("a=", 0) == 0) line = line.substr(2);
  if (line.rfind("candidate:", 0) != 0) throw WebRtcError("not a candidate line");
  std::istringstream in(line.substr(10));
  std::vector<std::string> f;
  for (std::string word; in >> word;) f.push_back(word);
  if (f.size() < 8 || f[6] != "typ") throw WebRtcError("candidate line has too few fields");
  Candidate c;
  c.foundation = f[0];
  c.component = number<int>(f[1], "component", 1, 256);
  c.protocol = f[2];
  std::transform(c.protocol.begin(), c.protocol.end(), c.protocol.begin(), ::tolower);
  if (c.protocol != "udp" && c.protocol != "tcp") throw WebRtcError("bad candidate protocol '" + f[2] + "'");
  c.priority = number<uint32_t>(f[3], "priority", 0, UINT32_MAX);
  c.address = f[4];
  if (c.address.empty()) throw WebRtcError("candidate without address");
  c.port = number<int>(f[5], "port", 0, 65535);
  c.type = f[7];
  if (c.type != "host" && c.type != "srflx" && c.type != "prflx" && c.type != "relay") {
    throw WebRtcError("bad candidate type '" + c.type + "'");
  }
  for (size_t i = 8; i + 1 < f.size(); i += 2) {
    if (f[i] == "raddr") c.related_address = f[i + 1];
    if (f[i] == "rport") c.related_port = number<int>(f[i + 1], "rport", 0, 65535);
    if (f[i] == "tcptype") c.tcp_type = f[i + 1];
  }
  return c;
}

}  // namespace kit::webrtc
