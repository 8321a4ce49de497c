#pragma once
// Name lookup within a time limit. The system's resolver has its own limits
// (seconds per server, per attempt, per address family) that a caller with a
// deadline cannot shorten, so the lookup runs asynchronously and is left
// behind when time is up.
#include <string>

#include "kit/http/client.hpp"

namespace kit::http {

// The first address `host` has, as numeric text ("127.0.0.1", "::1").
// Throws TimeoutError when no answer came within `timeout`, Error when the
// name has no address.
std::string look_up(const std::string& host, Seconds timeout);

}  // namespace kit::http
