// The studio's HTTP API under many pollers: the signaling poll a browser
// makes (GET /webrtc/offer) from 50 clients at once, first over keep-alive
// connections, then with a new connection per request; requests per second
// and p99 latency for each, and the studio's resident memory after 100 000
// requests against after the first 10 000. With another studio program
// (say, a build from before a change to the connection handling), the
// keep-alive throughput of this build against that one, in rounds taken
// in turn.
//   studio_load [REQUESTS [OTHER_STUDIO_PROGRAM]]   (default 100000)
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.hpp"
#include "tests/support/process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 50;

long rss_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Round {
  double per_second;
  double p99_ms;
  long failed;
};

// `total` requests spread over kClients threads.
Round hammer(int port, long total, bool keep_alive) {
  std::vector<std::vector<double>> latencies(kClients);
  std::atomic<long> failed{0};
  const auto t0 = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client kept("127.0.0.1", port);
      kept.set_keep_alive(true);
      for (long i = c; i < total; i += kClients) {
        const auto t = Clock::now();
        httplib::Client fresh("127.0.0.1", port);
        const httplib::Result r = (keep_alive ? kept : fresh).Get("/webrtc/offer?userId=load");
        if (!r || r->status != 200) ++failed;
        latencies[static_cast<size_t>(c)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      }
    });
  }
  for (auto& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  return {static_cast<double>(all.size()) / seconds, all[all.size() * 99 / 100], failed.load()};
}

// A studio program started on a free port with an offer to poll for; 0
// when it did not start (said on stderr).
int start_studio(test_support::BackgroundProcess& studio) {
  int port = 0;
  const std::regex http(R"(HTTP API:\s+http://[^:]+:(\d+))");
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::smatch m;
    const std::string out = studio.output();
    if (std::regex_search(out, m, http)) port = std::stoi(m[1]);
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (port == 0) {
    std::fprintf(stderr, "studio_load: the studio did not start: %s\n", studio.output().c_str());
    return 0;
  }
  httplib::Client setup("127.0.0.1", port);
  setup.Post("/webrtc/offer", R"({"userId": "load", "sdp": "v=0", "type": "offer"})", "application/json");
  return port;
}

test_support::BackgroundProcess studio_program(const std::string& program, const std::filesystem::path& dir) {
  return test_support::BackgroundProcess({program, "--http-port", "0", "--flight-port", "0", "--data-dir", dir.string()});
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// This build's keep-alive throughput against `other`'s: five rounds each, in turn.
bool compare_with(const std::string& other, int port, long requests, const std::filesystem::path& dir) {
  auto theirs = studio_program(other, dir / "other");
  const int their_port = start_studio(theirs);
  if (their_port == 0) return false;
  hammer(their_port, requests / 10, true);  // warmed as this one was
  std::vector<double> ours_rates, their_rates;
  for (int round = 0; round < 5; ++round) {
    ours_rates.push_back(hammer(port, requests / 5, true).per_second);
    their_rates.push_back(hammer(their_port, requests / 5, true).per_second);
  }
  theirs.stop();
  const double ratio = median(ours_rates) / median(their_rates);
  std::printf("keep-alive, median of 5 rounds in turn: this build %.0f req/s, %s %.0f req/s (ratio %.2f)\n",
              median(ours_rates), other.c_str(), median(their_rates), ratio);
  bench::report("studio poll keep-alive vs the other build (req/s)", bench::format("%.2f", ratio), ">= 0.95", ratio >= 0.95);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long requests = argc > 1 ? std::atol(argv[1]) : 100000;
  const auto dir = std::filesystem::temp_directory_path() / ("studio-load-" + std::to_string(getpid()));
  auto studio = studio_program(std::string(TESSALINE_BIN_DIR) + "/tessaline-studio", dir);
  const int port = start_studio(studio);
  if (port == 0) return 1;

  const Round warm = hammer(port, requests / 10, true);
  const long rss_warm = rss_kib(studio.pid());
  const Round kept = hammer(port, requests / 2, true);
  const Round fresh = hammer(port, requests - requests / 10 - requests / 2, false);
  const long rss_end = rss_kib(studio.pid());
  std::printf("%d clients, keep-alive: %.0f req/s, p99 %.1f ms, %ld failed\n", kClients, kept.per_second, kept.p99_ms,
              kept.failed);
  std::printf("%d clients, a new connection per request: %.0f req/s, p99 %.1f ms, %ld failed\n", kClients,
              fresh.per_second, fresh.p99_ms, fresh.failed);
  std::printf("studio RSS after %ld requests: %ld KiB; after %ld: %ld KiB (ratio %.2f, limit 1.25)\n", requests / 10,
              rss_warm, requests, rss_end, static_cast<double>(rss_end) / rss_warm);
  (void)warm;
  const double ratio = kept.per_second / fresh.per_second;
  bench::report("studio poll, keep-alive vs new connections (req/s)", bench::format("%.2f", ratio), ">= 1.00",
                ratio >= 1.0 && kept.failed == 0 && fresh.failed == 0);
  bench::report("studio poll p99 with 50 keep-alive clients (ms)", bench::format("%.1f", kept.p99_ms), "< 50",
                kept.p99_ms < 50);
  bench::report("studio RSS after 100k requests / after 10k", bench::format("%.2f", static_cast<double>(rss_end) / rss_warm),
                "<= 1.25", rss_end <= rss_warm * 5 / 4);
  if (argc > 2 && !compare_with(argv[2], port, requests, dir)) return 1;
  studio.stop();
  std::filesystem::remove_all(dir);
  return 0;
}
