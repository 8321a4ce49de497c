// CPU the virtual rig (tessaline-rig, no cameras) uses while nobody talks
// to it, after its ports were opened and closed, and while it serves a
// 30 Hz leader→follower loop. Idle is judged against 1 % of a core; serving
// against the CPU the loop's own process spends driving it in the same run
// (the simulated servos should cost less than talking to them).
//   rig_cpu [SECONDS]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/report.hpp"
#include "armkit/robots/robot.hpp"
#include "armkit/runtime.hpp"
#include "kit/json/text.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

double own_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const fs::path dir = fs::temp_directory_path() / ("rig-cpu-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path manifest = dir / "manifest.json";
  int status = 0;
  {
    setenv("HF_LEROBOT_CALIBRATION", (dir / "calibration").c_str(), 1);
    test_support::BackgroundProcess rig({std::string(TESSALINE_BIN_DIR) + "/tessaline-rig", "--cameras", "0",
                                         "--calibrated", "--manifest", manifest.string()});
    for (int i = 0; i < 200 && !fs::exists(manifest); ++i) std::this_thread::sleep_for(25ms);
    std::ifstream in(manifest);
    const auto doc = kit::json::Json::parse(in);
    const std::string leader_port = doc["ports"][0]["device"], follower_port = doc["ports"][1]["device"];

    auto leader_config = armkit::TeleoperatorConfig::get_choice_class("so101_leader")(leader_port);
    leader_config.id = "rig_leader";
    auto robot_config = armkit::RobotConfig::get_choice_class("so101_follower")(follower_port, {});
    robot_config.id = "rig_follower";
    auto leader = armkit::make_teleoperator_from_config(leader_config);
    auto robot = armkit::make_robot_from_config(robot_config);
    leader->connect();
    robot->connect();
    robot->disconnect();
    leader->disconnect();  // both ports opened and closed

    double before = test_support::cpu_seconds(rig.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double idle = (test_support::cpu_seconds(rig.pid()) - before) / seconds;

    leader->connect();
    robot->connect();
    before = test_support::cpu_seconds(rig.pid());
    const double own_before = own_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    int ticks = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
      const auto t0 = std::chrono::steady_clock::now();
      robot->get_observation();
      robot->send_action(leader->get_action());
      ++ticks;
      armkit::busy_wait(1.0 / 30 - std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    const double serving = (test_support::cpu_seconds(rig.pid()) - before) / seconds;
    const double client = (own_cpu_seconds() - own_before) / seconds;
    robot->disconnect();
    leader->disconnect();

    std::printf("rig CPU idle: %.2f %% of a core (limit 1 %%), ratio %.2f\n", idle * 100, idle / 0.01);
    std::printf("rig CPU serving a 30 Hz loop (%d ticks): %.2f %% of a core; the loop's own process %.2f %%; ratio %.2f "
                "(limit 1.00)\n",
                ticks, serving * 100, client * 100, client > 0 ? serving / client : 0.0);
    bench::report("rig CPU idle (% of a core)", bench::format("%.2f", idle * 100), "<= 1", idle <= 0.01);
    bench::report("rig CPU serving 30 Hz vs the loop's process", bench::format("%.2f", client > 0 ? serving / client : 0.0),
                  "<= 1.00", client <= 0 || serving <= client);
    if (idle > 0.01) status = 1;
    status |= rig.stop() != 0;
  }
  fs::remove_all(dir);
  return status;
}
