#pragma once
// One API request as the studio's handlers see it: the JSON body parsed
// once, and the user it acts for decided before any handler runs — from
// exactly the query and body the handler reads, which must agree. A
// handler never parses the request again for a user of its own.
#include <httplib.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "kit/json/text.hpp"

namespace studio {

using kit::json::Json;

struct BadRequest : std::runtime_error {  // 400
  using std::runtime_error::runtime_error;
};
struct Forbidden : std::runtime_error {  // 403
  using std::runtime_error::runtime_error;
};
struct NotFound : std::runtime_error {  // 404
  using std::runtime_error::runtime_error;
};

class Call {
 public:
  // Throws BadRequest for a POST body that is not a JSON object, a query
  // and body that name different users, or a user id that is not printable
  // text of at most 256 bytes; Forbidden when a signed-in browser names a
  // user other than its own.
  Call(const httplib::Request& req, std::optional<std::string> signed_in);

  const httplib::Request& req;
  Json body;                               // a POST's object; null for a GET
  std::optional<std::string> signed_in;    // the user a browser from another computer signed in as

  const std::string& user() const;         // the acting user; BadRequest when none is named
  bool names_user() const { return user_.has_value(); }
  std::string text(const char* key) const;   // a string field of the body
  std::string param(const char* key) const;  // a query parameter
  // "repoId": of the body for a POST, of the query otherwise. Like the user,
  // printable text (no control or bidi characters) of at most 256 bytes.
  std::string repo_id() const;
  // Another id of the body, checked as repoId is.
  std::string id(const char* key) const;
  long since() const;                        // the "since" cursor of a poll (0 when absent)

 private:
  std::optional<std::string> user_;
};

void send_json(httplib::Response& res, const Json& body, int status = 200);

}  // namespace studio
