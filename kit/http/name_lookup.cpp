#include "kit/http/name_lookup.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <vector>

namespace kit::http {
namespace {

struct Lookup {
  std::string name;
  addrinfo hints{};
  gaicb request{};
};

// Lookups still running when their caller gave up: the resolver writes into
// them when it is done, so they are kept (and stay reachable) for the
// program's life. One small record per abandoned lookup.
void abandon(Lookup* lookup) {
  static std::mutex mutex;
  static auto* abandoned = new std::vector<Lookup*>;
  std::lock_guard lock(mutex);
  abandoned->push_back(lookup);
}

timespec as_timespec(Seconds s) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(s).count();
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

std::string numeric_host(const addrinfo& a) {
  char text[NI_MAXHOST];
  if (getnameinfo(a.ai_addr, a.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
    throw Error("Could not read the address of a looked-up name");
  }
  return text;
}

}  // namespace

std::string look_up(const std::string& host, Seconds timeout) {
  auto* lookup = new Lookup;
  lookup->name = host;
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete lookup;
    throw Error("Could not look up " + host);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (gai_error(&lookup->request) == EAI_INPROGRESS) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= Seconds(0)) {
      const int cancel = gai_cancel(&lookup->request);
      if (cancel == EAI_ALLDONE) break;  // the answer came just now
      if (cancel == EAI_CANCELED) {
        delete lookup;
      } else {
        abandon(lookup);
      }
      throw TimeoutError("looking up " + host + " timed out after " + kit::json::py_float(timeout.count()) + " s");
    }
    const timespec wait = as_timespec(left);
    gai_suspend(list, 1, &wait);  // returns early on completion, a signal or the time limit
  }
  const int status = gai_error(&lookup->request);
  addrinfo* found = lookup->request.ar_result;
  delete lookup;
  if (status != 0 || found == nullptr) throw Error("could not resolve host " + host);
  try {
    std::string out = numeric_host(*found);
    freeaddrinfo(found);
    return out;
  } catch (...) {
    freeaddrinfo(found);
    throw;
  }
}

}  // namespace kit::http
