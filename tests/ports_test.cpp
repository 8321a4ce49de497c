// Port discovery over the virtual rig's buses (real protocol on pseudo-
// terminals), the ports table, and `tessaline list-ports` as users run it.
#include "cli/ports.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "armkit/sim/arm_sim.hpp"
#include "kit/json/text.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace tessaline::ports;
namespace fs = std::filesystem;
using kit::json::Json;

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest_ = fs::temp_directory_path() / ("ports-" + std::to_string(getpid()) + ".json");
    Json ports = Json::array();
    auto entry = [](const armkit::SimulatedArm& arm, int vid, const std::string& serial) {
      return Json{{"device", arm.port()}, {"description", "bus " + serial}, {"manufacturer", "rig"},
                  {"vid", vid},           {"pid", 0x55D3},               {"serial_number", serial}};
    };
    ports.push_back(entry(so101_, 0x1A86, "SO"));
    ports.push_back(entry(koch_, 0x0403, "KOCH"));
    ports.push_back({{"device", empty_.port()}, {"description", ""}, {"vid", 0x1A86}, {"serial_number", "EMPTY"}});
    std::ofstream(manifest_) << Json{{"ports", ports}}.dump();
    setenv("TESSALINE_VIRTUAL_HARDWARE", manifest_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TESSALINE_VIRTUAL_HARDWARE");
    fs::remove(manifest_);
  }
  armkit::SimulatedArm so101_{"so101_follower"};
  armkit::SimulatedArm koch_{"koch_follower"};
  armkit::SimulatedBus empty_{armkit::ServoFamily::feetech, 1'000'000, {}};
  fs::path manifest_;
};

TEST_F(Discovery, FindsEachFamilyOnItsPortInParallel) {
  testing::internal::CaptureStdout();
  auto found = find_robot_ports(std::nullopt, false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // not verbose: silent
  ASSERT_EQ(found.size(), 2u);
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return *a.serial_number < *b.serial_number; });
  EXPECT_EQ(found[0].motor_type, "dynamixel");
  EXPECT_EQ(found[0].baudrate, 1'000'000);
  EXPECT_EQ(found[0].motor_ids, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(found[1].motor_type, "feetech");
  EXPECT_EQ(find_robot_ports(std::nullopt, false, 1).size(), 1u);
  const auto only_feetech = find_robot_ports(std::string("feetech"), false);
  ASSERT_EQ(only_feetech.size(), 1u);
  EXPECT_EQ(only_feetech[0].serial_number, "SO");
  EXPECT_TRUE(find_robot_ports(std::string("servo-x"), false).empty());  // unknown family: nothing found
}

TEST_F(Discovery, EnumerationCarriesTheUsbIdentity) {
  const auto ports = list_serial_ports(true);
  const auto it = std::find_if(ports.begin(), ports.end(), [](const PortInfo& p) { return p.serial_number == "EMPTY"; });
  ASSERT_NE(it, ports.end());
  EXPECT_EQ(it->description, "Unknown");  // empty description
  EXPECT_FALSE(it->manufacturer.has_value());
  const auto scan = scan_port_for_motors(empty_.port());
  EXPECT_FALSE(scan.first.has_value());
  EXPECT_FALSE(scan.second.has_value());
}

TEST(PortsTable, ShowsCountsAndDashes) {
  PortInfo a{"/dev/ttyACM0", "Board", std::nullopt, 0x1A86, 0x55D3, "X", std::vector<int>{1, 2, 3, 4, 5, 6}, 1000000,
             "feetech"};
  PortInfo b{"/dev/ttyUSB0", "[weird] name", std::nullopt, 0, 0, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  int width = 0;
  const auto lines = _create_ports_table({a, b}, "Ports with Motors").render(false, &width);
  EXPECT_NE(lines[4].find("│ /dev/ttyACM0 │ Board        │ 1A86:55D3 │ feetech    │ 6      │"), std::string::npos)
      << lines[4];
  EXPECT_NE(lines[5].find("│ /dev/ttyUSB0 │ [weird] name │ -         │ -          │ -      │"), std::string::npos)
      << lines[5];
}

TEST_F(Discovery, ListPortsCommandPrintsTheTable) {
  test_support::ProcessOptions opts;
  opts.set_env = {{"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"}, {"COLUMNS", "120"}};
  const auto r = test_support::run_process({test_support::built_program("tessaline"), "list-ports"}, opts);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Scanning 3 port(s) (auto-detecting type)..."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Ports with Motors"), std::string::npos);
  EXPECT_NE(r.out.find("Found 2 port(s) with motors"), std::string::npos);
}

TEST(Discovery2, NoPortsSaysSo) {
  setenv("TESSALINE_VIRTUAL_HARDWARE", "/nonexistent/manifest.json", 1);
  // The machine may have real USB serial ports; only check the message when it has none.
  if (list_serial_ports(true).empty()) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(find_robot_ports().empty());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("No USB serial ports found."), std::string::npos);
    EXPECT_NE(out.find("Make sure your robot is connected via USB."), std::string::npos);
  }
  unsetenv("TESSALINE_VIRTUAL_HARDWARE");
}

}  // namespace
