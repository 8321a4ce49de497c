#include "kit/http/url.hpp"

#include "kit/http/client.hpp"

namespace kit::http {

SplitUrl split_url(const std::string& url) {
  SplitUrl out;
  const size_t sep = url.find("://");
  if (sep == std::string::npos) throw Error("Invalid URL '" + url + "': no scheme supplied");
  out.scheme = url.substr(0, sep);
  if (out.scheme != "http" && out.scheme != "https") {
    throw Error("No connection adapters were found for '" + url + "'");
  }
  const size_t host_start = sep + 3;
  const size_t host_end = std::min(url.find_first_of("/?#", host_start), url.size());
  if (host_end == host_start) throw Error("Invalid URL '" + url + "': no host supplied");
  out.origin = url.substr(0, host_end);
  const std::string authority = url.substr(host_start, host_end - host_start);
  if (authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) throw Error("Invalid URL '" + url + "': unclosed IPv6 address");
    out.host = authority.substr(1, close - 1);
  } else {
    out.host = authority.substr(0, authority.find(':'));
  }
  if (out.host.empty()) throw Error("Invalid URL '" + url + "': no host supplied");
  out.target = url.substr(host_end);
  if (out.target.empty() || out.target[0] != '/') out.target = "/" + out.target;
  return out;
}

}  // namespace kit::http
