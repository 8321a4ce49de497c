// `tessaline capture` as a user runs it in a terminal, over simulated arms
// that nobody moves: the command cannot tell the leader by motion, asks,
// takes the typed answer, saves the set-up, and ends in order on Ctrl+C
// while it waits for the sign-in. Runs in a network namespace of its own
// (the sign-in listens on its fixed loopback port).
#include <gtest/gtest.h>

#include "cli/saved_config.hpp"
#include "tests/support/process.hpp"
#include "tests/support/terminal.hpp"
#include "tests/support/workshop.hpp"

namespace {

using test_support::Workshop;

TEST_F(Workshop, CaptureAsksForTheLeaderWhenNothingMovesAndStopsOnCtrlC) {
  armkit::SimulatedArm leader("so101_leader", armkit::LeaderMotion::still), follower("so101_follower");
  write_manifest({&leader, &follower});  // serial numbers S0 (leader), S1
  test_support::Terminal terminal({test_support::built_program("tessaline"), "capture"},
                                  {{"HF_LEROBOT_HOME", home_.string()},
                                   {"TESSALINE_VIRTUAL_HARDWARE", manifest_.string()},
                                   {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"},
                                   {"NO_COLOR", "1"},
                                   {"BROWSER", "true"},
                                   {"STUDIO_URL", "http://127.0.0.1:9"},
                                   {"VELQUIN_HTTP_SERVER", "http://127.0.0.1:9"}});
  ASSERT_TRUE(terminal.expect("Move the LEADER arm now")) << terminal.output();
  ASSERT_TRUE(terminal.expect("Could not detect motion automatically.", std::chrono::seconds(40))) << terminal.output();
  ASSERT_TRUE(terminal.expect("Selection")) << terminal.output();
  // Answer with the number the leader's port was listed under.
  const std::string& shown = terminal.output();
  const bool leader_first = shown.find("[1] " + leader.port()) != std::string::npos;
  ASSERT_TRUE(leader_first || shown.find("[2] " + leader.port()) != std::string::npos) << shown;
  terminal.type(leader_first ? "1\r" : "2\r");
  ASSERT_TRUE(terminal.expect("Setup saved!")) << terminal.output();
  ASSERT_TRUE(terminal.expect("Authentication Required")) << terminal.output();

  terminal.type("\x03");
  ASSERT_TRUE(terminal.expect("Shutting down...")) << terminal.output();
  EXPECT_EQ(terminal.wait(), 0) << terminal.output();

  const auto setup = tessaline::ports::load_capture_setup();
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->leader.serial_number, "S0");
  EXPECT_EQ(setup->leader.last_port, leader.port());
  EXPECT_EQ(setup->follower.serial_number, "S1");
  EXPECT_EQ(setup->teleop_type, "so101_leader");
}

}  // namespace
