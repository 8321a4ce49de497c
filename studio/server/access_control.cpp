#include "studio/server/access_control.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <stdexcept>

#include "kit/digest/digest.hpp"
#include "studio/fleet/postgres.hpp"

namespace studio {
namespace {

constexpr size_t kMaxSessions = 10000;  // the oldest go first past this

// What the database keeps of a session id: its SHA-256, in hex.
std::string id_hash(std::string_view id) { return kit::sha256_hex(id); }

}  // namespace

AccessControl::AccessControl(std::string token, std::shared_ptr<Postgres> shared)
    : token_(std::move(token)), shared_(std::move(shared)) {
  if (shared_) {
    shared_->ensure_schema({"CREATE TABLE IF NOT EXISTS tessaline_browser_sessions ("
                            " id_hash text PRIMARY KEY, user_id text NOT NULL, opened timestamptz NOT NULL DEFAULT now())"});
  }
}

bool AccessControl::token_matches(std::string_view presented) const {
  if (token_.empty() || presented.size() != token_.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < token_.size(); ++i) differ |= static_cast<unsigned char>(token_[i] ^ presented[i]);
  return differ == 0;
}

bool AccessControl::bearer_matches(std::string_view authorization) const {
  constexpr std::string_view prefix = "Bearer ";
  return authorization.starts_with(prefix) && token_matches(authorization.substr(prefix.size()));
}

std::string AccessControl::open_session(const std::string& user) {
  const std::string id = random_token() + random_token();
  if (shared_) {
    Postgres::Session s(*shared_);
    s.transaction([&](Postgres::Session& t) {
      t.run("INSERT INTO tessaline_browser_sessions (id_hash, user_id) VALUES ($1, $2)", {id_hash(id), user});
      t.run("DELETE FROM tessaline_browser_sessions WHERE id_hash IN (SELECT id_hash FROM tessaline_browser_sessions"
            " ORDER BY opened DESC OFFSET $1)",
            {std::to_string(kMaxSessions)});
    });
    return id;
  }
  std::lock_guard lock(mutex_);
  if (sessions_.size() >= kMaxSessions) {
    sessions_.erase(by_age_.begin()->second);
    by_age_.erase(by_age_.begin());
  }
  sessions_[id] = {user, ++opened_};
  by_age_[opened_] = id;
  return id;
}

std::optional<std::string> AccessControl::session_user(std::string_view cookies) const {
  const std::string name = std::string(kCookie) + "=";
  for (size_t at = 0; at < cookies.size();) {
    const size_t end = std::min(cookies.find(';', at), cookies.size());
    std::string_view pair = cookies.substr(at, end - at);
    while (pair.starts_with(' ')) pair.remove_prefix(1);
    if (pair.starts_with(name) && shared_) {
      Postgres::Session s(*shared_);
      const Rows rows = s.run("SELECT user_id FROM tessaline_browser_sessions WHERE id_hash = $1",
                              {id_hash(pair.substr(name.size()))});
      if (rows.size() == 1) return rows.text(0, 0);
    } else if (pair.starts_with(name)) {
      std::lock_guard lock(mutex_);
      const auto it = sessions_.find(std::string(pair.substr(name.size())));
      if (it != sessions_.end()) return it->second.user;
    }
    at = end + 1;
  }
  return std::nullopt;
}

bool loopback_address(std::string_view address) {
  if (address.starts_with("::ffff:")) address.remove_prefix(7);
  return address.starts_with("127.") || address == "::1";
}

bool loopback_grpc_peer(std::string_view peer) {
  if (peer.starts_with("unix:")) return true;
  if (peer.starts_with("ipv4:")) return loopback_address(peer.substr(5));
  if (peer.starts_with("ipv6:[")) {
    const std::string_view rest = peer.substr(6);
    return loopback_address(rest.substr(0, rest.find(']')));
  }
  return false;
}

bool loopback_host(std::string_view host) {
  if (host == "localhost") return true;
  const std::string text(host);
  unsigned char address[16];
  if (inet_pton(AF_INET, text.c_str(), address) == 1) return address[0] == 127;
  return text == "::1";
}

std::string reachable_host(const std::string& host) {
  if (host != "0.0.0.0" && host != "::" && !host.empty()) return host.find(':') != std::string::npos ? "[" + host + "]" : host;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "127.0.0.1";
  std::string found = "127.0.0.1";
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    found = text;
    break;
  }
  freeifaddrs(list);
  return found;
}

std::string random_token() { return kit::random_hex(16); }

}  // namespace studio
