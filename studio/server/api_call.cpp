#include "studio/server/api_call.hpp"

#include "kit/json/plain_name.hpp"
#include "studio/server/request_trust.hpp"

namespace studio {
namespace {

constexpr size_t kMaxIdBytes = 256;

std::string checked_id(const char* key, std::string id) {
  if (!kit::json::plain_name(id, kMaxIdBytes)) throw BadRequest(std::string("\"") + key + "\" must be printable text of at most 256 bytes");
  return id;
}

Json parse_object(const std::string& text) {
  Json body;
  try {
    body = Json::parse(text);
  } catch (const nlohmann::json::exception&) {  // parse_error, or out_of_range for numbers like 1e999
    throw BadRequest("request body is not valid JSON");
  }
  if (!body.is_object()) throw BadRequest("request body must be a JSON object");
  return body;
}

}  // namespace

Call::Call(const httplib::Request& r, std::optional<std::string> signed_in_as)
    : req(r), signed_in(std::move(signed_in_as)) {
  // Only the sign-in form posts anything but JSON (the trust check refuses the rest).
  if (req.method == "POST" && json_content_type(req.get_header_value("Content-Type"))) body = parse_object(req.body);
  std::optional<std::string> from_query, from_body;
  if (req.has_param("userId")) from_query = req.get_param_value("userId");
  if (body.is_object() && body.contains("userId")) {
    if (!body["userId"].is_string()) throw BadRequest("\"userId\" must be a string");
    from_body = body["userId"].get<std::string>();
  }
  if (from_query && from_body && *from_query != *from_body) {
    throw BadRequest("the query and the body name different users");
  }
  user_ = from_body ? from_body : from_query;
  // Ids become file names, log lines and database values: no NUL, no
  // control or bidi characters anywhere they go.
  if (user_ && !kit::json::plain_name(*user_, kMaxIdBytes)) throw BadRequest("\"userId\" must be printable text of at most 256 bytes");
  if (signed_in && user_ && *user_ != *signed_in) throw Forbidden("signed in as another user");
}

const std::string& Call::user() const {
  if (!user_) throw BadRequest("\"userId\" must be a string");
  return *user_;
}

std::string Call::text(const char* key) const {
  const auto it = body.is_object() ? body.find(key) : body.end();
  if (!body.is_object() || it == body.end() || !it->is_string()) {
    throw BadRequest(std::string("\"") + key + "\" must be a string");
  }
  return it->get<std::string>();
}

std::string Call::param(const char* key) const {
  if (!req.has_param(key)) throw BadRequest(std::string("missing query parameter \"") + key + "\"");
  return req.get_param_value(key);
}

std::string Call::repo_id() const { return req.method == "POST" ? id("repoId") : checked_id("repoId", param("repoId")); }

std::string Call::id(const char* key) const { return checked_id(key, text(key)); }

long Call::since() const {
  const std::string text = req.has_param("since") ? req.get_param_value("since") : "0";
  try {
    size_t used = 0;
    const long value = std::stol(text, &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  throw BadRequest("\"since\" must be an integer");
}

void send_json(httplib::Response& res, const Json& body, int status) {
  res.status = status;
  res.set_content(kit::json::to_wire(body), "application/json");
}

}  // namespace studio
