#pragma once
// The text-level rules of signaling and the control channel, kept apart from
// the I/O so they can be tested and fuzzed directly.
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace tessaline::signaling_text {

using Json = kit::json::Json;

// One candidate body per "a=candidate:" line of the SDP, in order, with the
// media id of the latest "a=mid:" above it (null before any) and the number
// of "m=" lines above it minus one.
std::vector<Json> candidate_bodies_from_sdp(const std::string& sdp, const std::string& user_id);

// "type" if non-empty, else "sdpType" if non-empty, else "answer".
std::string description_type(const Json& answer);

// {"status": status, <data keys>}; a key of `data` replaces an earlier one.
std::string status_message(const std::string& status, const Json& data);

}  // namespace tessaline::signaling_text
