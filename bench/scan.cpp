// Full motor auto-detection of one port, both families tried as discovery
// does (Feetech, then Dynamixel), against simulated arms on pseudo-terminals.
// The rates arms usually run at (Feetech 1 Mbps; Dynamixel 1 Mbps and
// 57 600) are listened to for up to 150 ms, the others for 15 ms; a rate
// with answers ends when the line has been quiet for 30 byte-times (at
// least 5 ms) and is confirmed by a second ping.
//   scan [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bench/report.hpp"
#include "armkit/bus/motors_bus.hpp"
#include "armkit/sim/servo_sim.hpp"

namespace {

double seconds(const std::function<void()>& fn, int rounds) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace armkit;
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  std::vector<SimulatedServo> six;
  std::vector<SimulatedServo> sts;
  for (uint8_t id = 1; id <= 6; ++id) {
    six.push_back({id, id <= 2 ? "xl430-w250" : "xl330-m288"});
    sts.push_back({id, "sts3215"});
  }
  SimulatedBus so101(ServoFamily::feetech, 1'000'000, sts);
  SimulatedBus koch(ServoFamily::dynamixel, 1'000'000, six);
  const double feetech_port = seconds([&] {
    FeetechMotorsBus::scan_port(so101.port());
  }, rounds);
  const double dynamixel_port = seconds([&] {
    if (FeetechMotorsBus::scan_port(koch.port()).empty()) DynamixelMotorsBus::scan_port(koch.port());
  }, rounds);
  std::printf("SO-101 port (Feetech found first): %.3f s\n", feetech_port);
  std::printf("Koch port (Feetech tried, then Dynamixel): %.3f s\n", dynamixel_port);
  std::printf("ratio to the 1 s goal: %.2f (worst port)\n", std::max(feetech_port, dynamixel_port) / 1.0);
  bench::report("port scan, worst port (s)", bench::format("%.2f", std::max(feetech_port, dynamixel_port)), "<= 1.00",
                std::max(feetech_port, dynamixel_port) <= 1.0);
  return 0;
}
