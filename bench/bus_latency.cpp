// Bus round trips against simulated arms on pseudo-terminals at 1 Mbps:
// a sync read of 6 motors, and a whole leader→follower tick (read the
// leader, read the follower, write the follower's goals). Printed as a ratio
// to the time the same bytes take on a real 1 Mbps wire, and as the highest
// tick rate sustained (goal >= 200 Hz).
//   bus_latency [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "bench/report.hpp"
#include "armkit/robots/robot.hpp"
#include "armkit/runtime.hpp"
#include "armkit/sim/arm_sim.hpp"

int main(int argc, char** argv) {
  using namespace armkit;
  using Clock = std::chrono::steady_clock;
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 500;
  // Calibration files of the bench's own, removed at the end.
  const auto calibration = std::filesystem::temp_directory_path() / ("bus-latency-" + std::to_string(getpid()));
  setenv("HF_LEROBOT_CALIBRATION", calibration.c_str(), 1);
  for (const std::string kind : {"so101", "koch"}) {
    SimulatedArm leader_sim(kind + "_leader", LeaderMotion::scripted);
    SimulatedArm follower_sim(kind + "_follower");
    save_calibration(calibration_path(leader_sim.type(), "bench"), leader_sim.calibrate_like_the_framework());
    save_calibration(calibration_path(follower_sim.type(), "bench"), follower_sim.calibrate_like_the_framework());
    auto leader_config = TeleoperatorConfig::get_choice_class(kind + "_leader")(leader_sim.port());
    leader_config.id = "bench";
    auto robot_config = RobotConfig::get_choice_class(kind + "_follower")(follower_sim.port(), {});
    robot_config.id = "bench";
    auto leader = make_teleoperator_from_config(leader_config);
    auto robot = make_robot_from_config(robot_config);
    leader->connect();
    robot->connect();

    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) leader->get_action();
    const double read_us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / rounds;
    // Sync read of 6 positions: request + 6 status packets.
    const double wire_bytes = kind == "koch" ? 14 + 6 * 15 : 14 + 6 * 8;
    const double wire_us = wire_bytes * 10;  // 10 bits a byte at 1 Mbps

    t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
      const auto action = leader->get_action();
      robot->get_observation();
      robot->send_action(action);
    }
    const double tick_us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / rounds;
    const double tick_wire_us = 2 * wire_us + (kind == "koch" ? 14 + 6 * 5 : 8 + 6 * 3) * 10;
    std::printf("%s: sync read of 6 motors %.0f us (wire %.0f us, ratio %.2f); tick %.0f us (wire %.0f us, ratio %.2f), "
                "%.0f ticks/s (goal >= 200)\n",
                kind.c_str(), read_us, wire_us, read_us / wire_us, tick_us, tick_wire_us, tick_us / tick_wire_us,
                1e6 / tick_us);
    bench::report(kind + " 6-motor sync read vs wire time", bench::format("%.2f", read_us / wire_us), "<= 1.50",
                  read_us / wire_us <= 1.5);
    robot->disconnect();
    leader->disconnect();
  }
  // busy_wait lateness for the remainder of a 30 frames/s tick.
  double worst = 0, total = 0;
  for (int i = 0; i < 50; ++i) {
    const auto t = Clock::now();
    busy_wait(0.02);
    const double late = std::chrono::duration<double, std::micro>(Clock::now() - t).count() - 20000;
    worst = std::max(worst, late);
    total += late;
  }
  std::filesystem::remove_all(calibration);
  std::printf("busy_wait(20 ms): late by %.0f us on average, %.0f us at worst (goal well under 1000)\n", total / 50, worst);
  return 0;
}
