#include "signaling_text.hpp"

namespace tessaline::signaling_text {
namespace {

std::string strip(const std::string& line) {
  const auto first = line.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

std::string non_empty_text(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool truthy(const Json& v) {
  if (v.is_null()) return false;
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0;
  if (v.is_string()) return !v.get_ref<const std::string&>().empty();
  if (v.is_array() || v.is_object()) return !v.empty();
  return true;
}

}  // namespace

ControlMessage parse_control_message(const std::string& text) {
  ControlMessage out;
  Json message;
  try {
    message = Json::parse(text);
  } catch (const nlohmann::json::exception&) {  // parse_error, or out_of_range for numbers like 1e999
    out.kind = ControlMessage::Kind::invalid;
    return out;
  }
  if (!message.is_object()) {
    out.kind = ControlMessage::Kind::invalid;
    return out;
  }
  const auto it = message.find("command");
  if (it == message.end() || !truthy(*it)) return out;
  out.kind = ControlMessage::Kind::command;
  out.command = kit::json::py_str(*it);
  auto take = [&](const char* key) -> std::optional<Json> {
    const auto v = message.find(key);
    return v == message.end() ? std::nullopt : std::optional<Json>(*v);
  };
  if (out.command == "start") out.repo_id = take("repoId");
  if (out.command == "select_cameras") out.selected = take("selected");
  if (out.command == "end") out.dataset_name = take("datasetName");
  return out;
}

std::vector<Json> candidate_bodies_from_sdp(const std::string& sdp, const std::string& user_id) {
  std::vector<Json> bodies;
  Json media_id;
  int media_index = -1;
  size_t start = 0;
  while (start <= sdp.size()) {
    const size_t end = std::min(sdp.find('\n', start), sdp.size());
    const std::string line = strip(sdp.substr(start, end - start));
    start = end + 1;
    if (line.rfind("m=", 0) == 0) {
      ++media_index;
    } else if (line.rfind("a=mid:", 0) == 0) {
      media_id = line.substr(6);
    } else if (line.rfind("a=candidate:", 0) == 0) {
      bodies.push_back({{"sender", "robot"},
                        {"userId", user_id},
                        {"candidate", line.substr(2)},
                        {"sdpMid", media_id},
                        {"sdpMLineIndex", media_index}});
    }
  }
  return bodies;
}

std::string description_type(const Json& answer) {
  if (!answer.is_object()) return "answer";
  if (auto t = non_empty_text(answer, "type"); !t.empty()) return t;
  if (auto t = non_empty_text(answer, "sdpType"); !t.empty()) return t;
  return "answer";
}

std::string status_message(const std::string& status, const Json& data) {
  Json message{{"status", status}};
  if (data.is_object()) {
    for (const auto& [key, value] : data.items()) message[key] = value;
  }
  return kit::json::to_wire(message);
}

}  // namespace tessaline::signaling_text
