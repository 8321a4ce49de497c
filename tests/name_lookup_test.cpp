// Name lookups bounded by the caller's time limit, against a resolver that
// takes every query and never answers (run by run_with_silent_resolver.sh:
// the resolver would wait 30 s on its own).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "kit/http/client.hpp"
#include "tests/support/process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Takes DNS queries on 127.0.0.1:53 and answers none of them.
class SilentResolver {
 public:
  SilentResolver() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1:53 (run inside run_with_silent_resolver.sh)");
    }
    thread_ = std::thread([this] {
      char packet[1500];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && recv(fd_, packet, sizeof packet, 0) > 0) ++queries_;
      }
    });
  }
  ~SilentResolver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int queries() const { return queries_; }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// Generous beside the limits below, and far short of the resolver's own 30 s.
constexpr auto kSlack = std::chrono::seconds(6);

TEST(NameLookup, HttpRequestsGiveUpWithinTheirLimit) {
  SilentResolver resolver;
  const auto started = Clock::now();
  EXPECT_THROW(kit::http::get("http://index.tessaline.test/pypi/tessaline/json", kit::http::Seconds(1)),
               kit::http::TimeoutError);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(1) + kSlack);
  EXPECT_GE(resolver.queries(), 1) << "the lookup never reached the resolver";
}

TEST(NameLookup, UpdateCheckDoesNotHoldTheCommand) {
  SilentResolver resolver;
  test_support::ProcessOptions opts;
  opts.set_env = {{"TESSALINE_PACKAGE_INDEX", "https://index.tessaline.test"}};
  const auto started = Clock::now();
  const auto r = test_support::run_process({test_support::built_program("tessaline")}, opts);
  const auto took = Clock::now() - started;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_LT(took, std::chrono::seconds(3) + kSlack);
  EXPECT_GE(resolver.queries(), 1);
}

}  // namespace
