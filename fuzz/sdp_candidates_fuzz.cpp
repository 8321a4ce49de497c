// Fuzz target: candidate extraction from SDP text and the candidate-line
// parser that guards what reaches the ICE agent.
#include <cstdint>
#include <string>

#include "kit/webrtc/candidate.hpp"
#include "kit/webrtc/peer_connection.hpp"
#include "tessaline/src/signaling_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto& body : tessaline::signaling_text::candidate_bodies_from_sdp(text, "fuzz")) {
    (void)kit::json::to_wire(body);
    try {
      (void)kit::webrtc::parse_candidate(body["candidate"].get<std::string>());
    } catch (const kit::webrtc::WebRtcError&) {
    }
  }
  (void)tessaline::signaling_text::description_type(kit::json::Json{{"type", text}});
  return 0;
}
