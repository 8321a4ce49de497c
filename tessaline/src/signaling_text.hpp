#pragma once
// The text-level rules of signaling and the control channel, kept apart from
// the I/O so they can be tested and fuzzed directly.
#include <optional>
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

// What a control-channel message asks for. Only the key that belongs to the
// command is taken ("repoId" with "start", "selected" with "select_cameras",
// "datasetName" with "end"); a present null is kept as null.
struct ControlMessage {
  enum class Kind { invalid, ignored, command };
  Kind kind = Kind::ignored;
  std::string command;
  std::optional<Json> repo_id;
  std::optional<Json> selected;
  std::optional<Json> dataset_name;
};
// `invalid` for text that is not a JSON object; `ignored` when "command" is
// absent or false (null, "", false, 0).
ControlMessage parse_control_message(const std::string& text);

}  // namespace tessaline::signaling_text
