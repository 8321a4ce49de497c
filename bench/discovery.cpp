// Discovery over four rig ports (two Feetech arms, two Dynamixel arms) runs
// the scans in parallel, so it should take about as long as the slowest
// single port — measured in the same run.
//   discovery
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bench/report.hpp"
#include "armkit/sim/arm_sim.hpp"
#include "cli/ports.hpp"
#include "kit/json/text.hpp"

int main() {
  using Clock = std::chrono::steady_clock;
  armkit::SimulatedArm so_a("so101_follower"), so_b("so101_leader"), koch_a("koch_follower"), koch_b("koch_leader");
  const auto manifest = std::filesystem::temp_directory_path() / ("discovery-" + std::to_string(getpid()) + ".json");
  kit::json::Json ports = kit::json::Json::array();
  int n = 0;
  for (const auto* arm : {&so_a, &so_b, &koch_a, &koch_b}) {
    ports.push_back({{"device", arm->port()}, {"vid", 0x1A86}, {"serial_number", "D" + std::to_string(n++)}});
  }
  std::ofstream(manifest) << kit::json::Json{{"ports", ports}}.dump();
  setenv("TESSALINE_VIRTUAL_HARDWARE", manifest.c_str(), 1);

  double slowest = 0;
  for (const auto* arm : {&so_a, &so_b, &koch_a, &koch_b}) {
    const auto t = Clock::now();
    tessaline::ports::scan_port_for_motors(arm->port());
    slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - t).count());
  }
  const auto t = Clock::now();
  const auto found = tessaline::ports::find_robot_ports(std::nullopt, false);
  const double all = std::chrono::duration<double>(Clock::now() - t).count();
  std::filesystem::remove(manifest);
  std::printf("four ports: %zu found in %.3f s; slowest single port %.3f s; ratio %.2f (goal about 1)\n", found.size(),
              all, slowest, all / slowest);
  bench::report("discovery of 4 ports vs the slowest one alone", bench::format("%.2f", all / slowest), "<= 1.50",
                found.size() == 4 && all / slowest <= 1.5);
  return found.size() == 4 ? 0 : 1;
}
