// Frames held through a studio outage and sent again: a capture logs two
// 640×480 cameras at 30 frames/s; the Flight server goes away for
// OUTAGE_SECONDS (the frames wait in memory, bounded here at 64 MiB so most
// go to the spool on disk) and comes back on the same port while the
// capture goes on. Prints how fast the held frames go out once it is back —
// frames/s against the capture's own 30, measured in the same run — and
// checks that every frame logged arrived once.
//   spool_replay [OUTAGE_SECONDS]   (30 by default)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/logged_frames.hpp"
#include "bench/report.hpp"
#include "kit/flight/flight.hpp"
#include "tessaline/grpc_client.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFps = 30;

// The frames a server took, each counted once by its id (a frame whose
// answer was lost in the outage is sent again, as the studio expects).
struct Received {
  std::mutex mutex;
  std::set<std::string> ids;
  long puts = 0;
};

std::unique_ptr<kit::flight::FlightServer> serve(int port, Received& received) {
  kit::flight::FlightServerOptions options;
  options.port = port;
  return std::make_unique<kit::flight::FlightServer>(options, [&received](kit::flight::FlightPut& put) {
    std::lock_guard lock(received.mutex);
    for (const auto& batch : put.batches) {
      ++received.puts;
      if (const auto id = batch->GetColumnByName("frame_id"); id && id->IsValid(0)) received.ids.insert(std::string(id->GetView(0)));
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  const double outage = argc > 1 ? std::atof(argv[1]) : 30.0;
  if (!(outage > 0)) {
    std::fprintf(stderr, "usage: spool_replay [OUTAGE_SECONDS]   (a number of seconds above 0; 30 by default)\n");
    return 2;
  }
  setenv("TESSALINE_HELD_MEMORY_MB", "64", 0);
  std::vector<std::shared_ptr<const tessaline::Record>> pictures;
  for (int i = 0; i < kFps; ++i) pictures.push_back(bench::logged_frame(i));

  Received received;
  auto server = serve(0, received);
  const int port = server->port();
  tessaline::VelquinGrpcClient client("127.0.0.1:" + std::to_string(port), "bench");
  const tessaline::Value action(tessaline::List{0.1, 0.2});

  long logged = 0;
  const auto start = Clock::now();
  const auto log_until = [&](double seconds) {  // at the capture's pace, from the start
    for (; logged < static_cast<long>(seconds * kFps); ++logged) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(logged * 1000000 / kFps));
      client.log_robot_data(pictures[static_cast<size_t>(logged % kFps)], action);
    }
  };
  log_until(2.0);
  server.reset();  // the studio goes away
  log_until(2.0 + outage);
  server = serve(port, received);
  const auto back = Clock::now();
  const size_t held_when_back = client.frames_held();
  // The capture goes on; the held frames go out meanwhile.
  double caught_up = -1;
  for (double t = 2.0 + outage; caught_up < 0 && t < 2.0 + 4 * outage; t += 1.0 / kFps) {
    log_until(t);
    if (client.frames_held() == 0) caught_up = std::chrono::duration<double>(Clock::now() - back).count();
  }
  client.shutdown();
  server.reset();

  const long distinct = static_cast<long>(received.ids.size());
  const bool whole = distinct == logged;
  std::printf("outage %.0f s: %zu frames held when the studio came back; caught up after %.2f s while logging 30 frames/s; "
              "%ld logged, %ld received (%ld puts)\n",
              outage, held_when_back, caught_up, logged, distinct, received.puts);
  if (caught_up < 0) {
    bench::report("held frames sent after a " + bench::format("%.0f", outage) + " s outage (frames/s)", "never caught up",
                  ">= 2x capture", false);
    return 0;
  }
  // Frames that went out while catching up: those held, and those logged meanwhile.
  const double rate = (static_cast<double>(held_when_back) + caught_up * kFps) / caught_up;
  std::printf("replayed %.0f frames/s, %.1f times the capture's %d\n", rate, rate / kFps, kFps);
  bench::report("held frames sent after a " + bench::format("%.0f", outage) + " s outage (frames/s)", bench::format("%.0f", rate),
                ">= 60 (2x capture), all once", whole && rate >= 2 * kFps);
  return 0;
}
