#pragma once
// Who may use a studio that listens beyond this computer. Callers on
// loopback are trusted as before. Everyone else shows the access token: a
// robot as "Authorization: Bearer <token>" (HTTP header or gRPC metadata),
// a browser by signing in once with the token and a user name, which opens
// a session (an HttpOnly, SameSite=Strict cookie) bound to that user.
// Sessions live in this process, or in a database studios share (then a
// browser signed in at one is signed in at all; the database keeps a hash
// of each session id, never the id). Thread-safe.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace studio {

class Postgres;

class AccessControl {
 public:
  // An empty token: nothing is enforced.
  explicit AccessControl(std::string token, std::shared_ptr<Postgres> shared = nullptr);

  bool enforced() const { return !token_.empty(); }
  bool token_matches(std::string_view presented) const;       // in constant time
  bool bearer_matches(std::string_view authorization) const;  // "Bearer <token>"

  // A browser session for `user`; its id goes into the cookie.
  std::string open_session(const std::string& user);
  std::optional<std::string> session_user(std::string_view cookie_header) const;

  static constexpr const char* kCookie = "tessaline_session";

 private:
  std::string token_;
  std::shared_ptr<Postgres> shared_;
  mutable std::mutex mutex_;
  struct Session {
    std::string user;
    unsigned long long opened;  // order of opening: the oldest go first past the cap
  };
  std::map<std::string, Session> sessions_;  // by id
  std::map<unsigned long long, std::string> by_age_;  // opened → id
  unsigned long long opened_ = 0;
};

// "127.0.0.1", "127.x.y.z", "::1", "::ffff:127.0.0.1" — as HTTP servers report peers.
bool loopback_address(std::string_view address);
// gRPC's peer text: "ipv4:127.0.0.1:5000", "ipv6:[::1]:5000", "unix:...".
bool loopback_grpc_peer(std::string_view peer);
// A host to listen on that only this computer can reach.
bool loopback_host(std::string_view host);

// What to tell others to connect to: `host`, or for a wildcard (0.0.0.0,
// ::) this computer's first address beyond loopback.
std::string reachable_host(const std::string& host);

// 32 hex digits from the kernel's random source.
std::string random_token();

}  // namespace studio
