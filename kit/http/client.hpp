#pragma once
// A small synchronous HTTP client. The URL is used exactly as given (callers
// concatenate base + path; nothing is encoded). Every failure of the exchange
// — connection, time limit, an error status — throws kit::http::Error, whose
// text is what users see after "Failed to ...: ". TLS certificates are
// verified against the system's store.
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kit/json/text.hpp"

namespace kit::http {

using Json = kit::json::Json;
using Seconds = std::chrono::duration<double>;

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TimeoutError : Error {
  using Error::Error;
};
struct StatusError : Error {
  StatusError(int status, const std::string& text) : Error(text), status(status) {}
  int status;
};

struct Response {
  int status = 0;
  std::string body;
  // The body as JSON; throws Error when it does not decode.
  Json json() const;
};

// Extra request headers, e.g. {"Authorization", "Bearer ..."}.
using Headers = std::vector<std::pair<std::string, std::string>>;

Response get(const std::string& url, Seconds timeout, const Headers& headers = {});
// POSTs `body` as wire JSON with Content-Type application/json.
Response post_json(const std::string& url, const Json& body, Seconds timeout, const Headers& headers = {});

}  // namespace kit::http
