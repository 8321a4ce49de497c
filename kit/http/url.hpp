#pragma once
#include <string>

namespace kit::http {

// "https://host:8080/a/b?x=1" → origin "https://host:8080", target "/a/b?x=1".
// The target is kept exactly as written: nothing is encoded or normalised.
struct SplitUrl {
  std::string scheme;  // "http" or "https"
  std::string origin;
  std::string target;
  std::string host;    // without brackets or port: "host", "::1"
};

// Throws kit::http::Error for a URL without an http or https scheme or host.
SplitUrl split_url(const std::string& url);

}  // namespace kit::http
