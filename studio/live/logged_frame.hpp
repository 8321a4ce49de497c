#pragma once
// One logged frame as the robot side sends it over Flight, checked against
// the logged-record schema before anything uses it: "user_id" valid UTF-8
// text; "state" (and "action", if any) a list of numbers; "timestamp" and
// "fps" numbers; "episode_end" true/false; "robot_type" valid UTF-8 text;
// every "observation.images.*" column binary (a JPEG). Exactly one row.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kit/flight/array.hpp"

namespace studio {

struct FrameSchemaError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct LoggedFrame {
  std::string user_id;
  std::vector<double> state;
  std::optional<std::vector<double>> action;
  std::optional<double> timestamp;
  std::optional<double> fps;
  bool episode_end = false;
  std::optional<std::string> robot_type;
  std::optional<std::string> frame_id;  // the robot's name for the frame: one sent twice is the same frame
  std::vector<std::pair<std::string, std::string_view>> images;  // camera key → JPEG (views into the batch)
};

// Throws FrameSchemaError saying which column is wrong and how.
LoggedFrame read_logged_frame(const kit::flight::RecordBatch& batch);

bool valid_utf8(std::string_view text);

}  // namespace studio
