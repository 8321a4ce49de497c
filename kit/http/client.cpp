#include "kit/http/client.hpp"

#include <httplib.h>

#include <algorithm>

#include "kit/http/name_lookup.hpp"
#include "kit/http/url.hpp"

namespace kit::http {
namespace {

std::string reason_class(int status) { return status < 500 ? "Client Error" : "Server Error"; }

std::string reason_phrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
  }
}

std::string timeout_text(Seconds timeout) {
  return "timed out after " + kit::json::py_float(timeout.count()) + " s";
}

// The name lookup and the connection share the time limit; reads and
// writes each get all of it.
template <typename Send>
Response exchange(const std::string& url, Seconds timeout, Send send) {
  const SplitUrl parts = split_url(url);
  const auto started = std::chrono::steady_clock::now();
  std::string address;
  try {
    address = look_up(parts.host, timeout);
  } catch (const TimeoutError& e) {
    throw TimeoutError(parts.origin + ": " + e.what());
  } catch (const Error& e) {
    throw Error("Connection to " + parts.origin + " failed: " + e.what());
  }
  httplib::Client client(parts.origin);
  client.set_hostname_addr_map({{parts.host, address}});
  client.set_url_encode(false);
  client.enable_server_certificate_verification(true);
  const auto limit = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
  const auto connect_limit = std::max(std::chrono::microseconds(1000),
                                      std::chrono::duration_cast<std::chrono::microseconds>(
                                          limit - (std::chrono::steady_clock::now() - started)));
  const auto split = [](std::chrono::microseconds us) {
    return std::pair{static_cast<time_t>(us.count() / 1'000'000), static_cast<time_t>(us.count() % 1'000'000)};
  };
  const auto [sec, usec] = split(limit);
  const auto [connect_sec, connect_usec] = split(connect_limit);
  client.set_connection_timeout(connect_sec, connect_usec);
  client.set_read_timeout(sec, usec);
  client.set_write_timeout(sec, usec);

  httplib::Result result = send(client, parts.target);
  if (!result) {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed >= limit * 0.95) throw TimeoutError(parts.origin + ": " + timeout_text(timeout));
    throw Error("Connection to " + parts.origin + " failed: " + httplib::to_string(result.error()));
  }
  if (result->status >= 400) {
    throw StatusError(result->status, std::to_string(result->status) + " " + reason_class(result->status) +
                                          ": " + reason_phrase(result->status) +
                                          " for url: " + url);
  }
  return Response{result->status, result->body};
}

}  // namespace

Json Response::json() const {
  try {
    return Json::parse(body);
  } catch (const nlohmann::json::exception& e) {  // parse_error, or out_of_range for numbers like 1e999
    throw Error(std::string("Invalid JSON in response: ") + e.what());
  }
}

Response get(const std::string& url, Seconds timeout, const Headers& headers) {
  const httplib::Headers extra(headers.begin(), headers.end());
  return exchange(url, timeout, [&](httplib::Client& c, const std::string& target) { return c.Get(target, extra); });
}

Response post_json(const std::string& url, const Json& body, Seconds timeout, const Headers& headers) {
  const std::string text = kit::json::to_wire(body);
  const httplib::Headers extra(headers.begin(), headers.end());
  return exchange(url, timeout, [&](httplib::Client& c, const std::string& target) {
    return c.Post(target, extra, text, "application/json");
  });
}

}  // namespace kit::http
