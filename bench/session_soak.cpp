// Many sessions back to back in one process, as serve mode runs them for
// days: each is created, tries to connect (the backend answers with an
// unusable description, so the connect fails after a real offer), and is
// closed. After a warm-up (the first quarter: process-wide pools start, and
// the allocator's per-thread arenas fill) threads and memory must stay level
// for the rest. Like the tessaline program, it keeps glibc to two malloc
// arenas: with the default of 8 per core the resident size steps up for
// dozens of sessions while arenas fill, which says nothing about leaks.
//   session_soak [SESSIONS]     exits 1 when threads or memory kept growing
#include <malloc.h>
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/report.hpp"
#include "tessaline/session.hpp"
#include "tests/support/process.hpp"

namespace {

long status_field(const char* name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::string(name).size()));
  }
  return -1;
}

void one_session(const std::string& base) {
  tessaline::VelquinSession session({"observation.images.cam_front"}, "soak", "x", 30, base, "soak");
  try {
    session.connect(1.0);
  } catch (const std::exception&) {
    // Expected: the answer is not an SDP.
  }
  session.close(false);
}

}  // namespace

int main(int argc, char** argv) {
  // The program this stands for (tessaline serve) sets its allocator so at start.
  if (!getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
  const int sessions = argc > 1 ? std::atoi(argv[1]) : 200;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  httplib::Server backend;
  auto json = [](const char* body) {
    return [body](const httplib::Request&, httplib::Response& res) { res.set_content(body, "application/json"); };
  };
  backend.Post("/webrtc/offer", json("{}"));
  backend.Post("/webrtc/ice", json("{}"));
  backend.Get("/webrtc/answer", json(R"({"sdp": "not an sdp", "type": "answer"})"));
  backend.Get("/webrtc/ice", json(R"({"candidates": []})"));
  const int port = backend.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { backend.listen_after_bind(); });
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  // Resident memory settles after about ten sessions (pools, encoder buffers, arenas).
  const int warm_up = std::max(std::min(10, sessions / 2), sessions / 4);
  for (int i = 0; i < warm_up; ++i) one_session(base);
  const long threads0 = test_support::settled_thread_count(3.0, 0);
  const long rss0 = status_field("VmRSS:");
  const auto started = std::chrono::steady_clock::now();
  for (int i = warm_up; i < sessions; ++i) {
    one_session(base);
    if (std::getenv("SOAK_VERBOSE")) {
      std::printf("after session %d: %ld threads, %ld KiB\n", i + 1, status_field("Threads:"), status_field("VmRSS:"));
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long threads1 = test_support::settled_thread_count(30.0, threads0 + 2);
  const long rss1 = status_field("VmRSS:");
  backend.stop();
  serving.join();

  const int measured = std::max(sessions - warm_up, 1);
  std::printf("sessions: %d after %d to warm up, %.1f s (%.2f s each)\n", measured, warm_up, seconds,
              seconds / measured);
  std::printf("threads after warm-up: %ld, after all: %ld (limit +2)\n", threads0, threads1);
  std::printf("resident memory after warm-up: %ld KiB, after all: %ld KiB (ratio %.2f, limit 1.25)\n", rss0, rss1,
              static_cast<double>(rss1) / rss0);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine: only threads can be judged.
  const bool ok = threads1 <= threads0 + 2;
#else
  const bool ok = threads1 <= threads0 + 2 && rss1 <= rss0 * 5 / 4;
#endif
  std::printf("%s\n", ok ? "nothing kept growing" : "threads or memory kept growing");
  bench::report("soak of " + std::to_string(measured) + " sessions: RSS after / after warm-up",
                bench::format("%.2f", static_cast<double>(rss1) / rss0), "<= 1.25", ok);
  return ok ? 0 : 1;
}
