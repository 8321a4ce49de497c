// Discovery and connecting both arms while the machine is busy: more
// runnable threads than cores, the way a loaded laptop or a shared CI box
// is, and every other run with the servos' answers held back 40 ms (longer
// than a first listen), as when the other side is scheduled late. Nothing
// may be missed; every run must find both arms and connect.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "armkit/robots/robot.hpp"
#include "cli/ports.hpp"
#include "tests/support/calibrated_arms.hpp"
#include "tests/support/workshop.hpp"

namespace {

using namespace std::chrono_literals;

// Threads that only burn CPU until the object goes (or 2 minutes pass).
class CpuHog {
 public:
  explicit CpuHog(unsigned threads) {
    const auto until = std::chrono::steady_clock::now() + 2min;
    for (unsigned i = 0; i < threads; ++i) {
      threads_.emplace_back([this, until] {
        volatile unsigned long spin = 0;
        while (!stop_ && std::chrono::steady_clock::now() < until) {
          for (int k = 0; k < 100000; ++k) spin = spin + 1;
        }
      });
    }
  }
  ~CpuHog() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

class BusyMachine : public test_support::Workshop {};

TEST_F(BusyMachine, DiscoveryAndConnectNeverMissAnArm) {
  for (const std::string kind : {"so101", "koch"}) {
    const test_support::CalibrationFolder folder;
    armkit::SimulatedArm leader(kind + "_leader"), follower(kind + "_follower");
    test_support::calibrate(leader, "l");
    test_support::calibrate(follower, "f");
    write_manifest({&leader, &follower});
    const CpuHog hog(2 * std::max(2u, std::thread::hardware_concurrency()));
    constexpr int kRuns = 8;
    int complete = 0;
    for (int run = 0; run < kRuns; ++run) {
      for (auto* arm : {&leader, &follower}) arm->bus().delay_requests(run % 2 ? 40ms : 0ms);
      const auto found = tessaline::ports::find_robot_ports(std::nullopt, false);
      ASSERT_EQ(found.size(), 2u) << kind << ": run " << run << " found " << found.size() << " arm(s)";
      for (const auto& port : found) ASSERT_EQ(port.motor_ids->size(), 6u) << kind << " run " << run;
      auto robot_config = armkit::RobotConfig::get_choice_class(kind + "_follower")(follower.port(), {});
      robot_config.id = "f";
      auto teleop_config = armkit::TeleoperatorConfig::get_choice_class(kind + "_leader")(leader.port());
      teleop_config.id = "l";
      auto robot = armkit::make_robot_from_config(robot_config);
      auto teleop = armkit::make_teleoperator_from_config(teleop_config);
      teleop->connect();
      robot->connect();
      robot->get_observation();
      robot->send_action(teleop->get_action());
      robot->disconnect();
      teleop->disconnect();
      ++complete;
    }
    std::printf("%s: %d of %d discover-and-connect runs complete with both cores loaded\n", kind.c_str(), complete,
                kRuns);
  }
}

}  // namespace
