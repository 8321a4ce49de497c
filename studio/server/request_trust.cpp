#include "studio/server/request_trust.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace studio {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// The host part of "name", "name:port", "[v6]" or "[v6]:port"; empty when malformed.
std::string host_of(std::string_view authority) {
  if (authority.starts_with("[")) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return "";
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || rest.size() == 1 ||
                          rest.substr(1).find_first_not_of("0123456789") != std::string_view::npos)) {
      return "";
    }
    return std::string(authority.substr(0, close + 1));
  }
  const size_t colon = authority.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = authority.substr(colon + 1);
    if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos) return "";
  }
  return lower(authority.substr(0, colon));
}

bool ip_literal(const std::string& host) {
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
         inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) == 1;
}

std::string this_computers_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return lower(name);
}

}  // namespace

bool json_content_type(std::string_view content_type) {
  const std::string type = lower(content_type.substr(0, content_type.find(';')));
  const size_t first = type.find_first_not_of(' '), last = type.find_last_not_of(' ');
  return first != std::string::npos && type.substr(first, last - first + 1) == "application/json";
}

RequestTrust::RequestTrust(std::vector<std::string> extra_hosts) {
  names_ = {"localhost"};
  if (const std::string self = this_computers_name(); !self.empty()) names_.push_back(self);
  for (const auto& name : extra_hosts) names_.push_back(lower(name));
}

bool RequestTrust::host_allowed(std::string_view host_header) const {
  const std::string host = host_of(host_header);
  if (host.empty()) return false;
  // A page cannot make the browser send an address as its Host: only a name
  // it controls can be rebound to this computer.
  return ip_literal(host) || std::find(names_.begin(), names_.end(), host) != names_.end();
}

std::optional<Refusal> RequestTrust::check(const RequestFacts& r) const {
  if (!r.shows_token && !host_allowed(r.host)) {
    return Refusal{421, "this studio is not served under that name (start it with --allowed-host NAME to add one)"};
  }
  if (!r.origin.empty() && lower(r.origin) != "http://" + lower(r.host) && lower(r.origin) != "https://" + lower(r.host)) {
    return Refusal{403, "requests from another origin's pages are refused"};
  }
  if (!r.page && (r.fetch_site == "cross-site" || r.fetch_site == "same-site")) {
    return Refusal{403, "requests from another site's pages are refused"};
  }
  if (r.method == "POST" && !r.form_post && !json_content_type(r.content_type)) {
    return Refusal{415, "send the request body as JSON (Content-Type: application/json)"};
  }
  return std::nullopt;
}

}  // namespace studio
