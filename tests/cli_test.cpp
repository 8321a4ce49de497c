// The `tessaline` command as a user runs it: a real process, and a real
// package index on loopback for the update check.
#include <gtest/gtest.h>

#include "tessaline/build_info.hpp"
#include "tests/support/local_http.hpp"
#include "tests/support/process.hpp"

namespace {

using test_support::run_process;

test_support::ProcessResult run_tessaline(std::vector<std::string> args, const std::string& index) {
  args.insert(args.begin(), test_support::built_program("tessaline"));
  test_support::ProcessOptions opts;
  opts.set_env = {{"TESSALINE_PACKAGE_INDEX", index}, {"COLUMNS", "80"}};
  return run_process(args, opts);
}

TEST(Cli, VersionIsTheBuildsAndNeedsNoIndex) {
  const auto r = run_tessaline({"--version"}, test_support::closed_loopback_url());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::string("tessaline ") + tessaline::build_info::VERSION + "\n");
}

TEST(Cli, HelpNamesTheToolAndHidesDebug) {
  const auto r = run_tessaline({"--help"}, test_support::closed_loopback_url());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Tessaline CLI - Robot teleoperation and data collection"), std::string::npos);
  EXPECT_EQ(r.out.find("--debug"), std::string::npos);
  EXPECT_EQ(run_tessaline({"--debug", "--help"}, test_support::closed_loopback_url()).exit_code, 0);
}

// Every kind of usage error ends with status 2, the usage line of the
// (sub-)command, where to get help, and the error.
TEST(Cli, UsageErrorsExitTwoWithTheUsageLine) {
  const struct {
    std::vector<std::string> args;
    std::string usage, error;
  } cases[] = {
      {{"--no-such-option"}, "Usage: tessaline [OPTIONS] [SUBCOMMAND]", "--no-such-option"},
      {{"bogus"}, "Usage: tessaline [OPTIONS] [SUBCOMMAND]", "bogus"},
      {{"capture", "--foo"}, "Usage: tessaline capture [OPTIONS]", "--foo"},
      {{"configure"}, "Usage: tessaline configure [OPTIONS] robot_id", "robot_id is required"},
      {{"teleoperate", "--fps", "0"}, "Usage: tessaline teleoperate [OPTIONS]", "not in range"},
      {{"teleoperate", "--duration", "soon"}, "Usage: tessaline teleoperate [OPTIONS]", "soon"},
      {{"calibrate", "--robot.type"}, "Usage: tessaline calibrate [OPTIONS]", "--robot.type"},
      {{"calibrate"}, "Usage: tessaline calibrate [OPTIONS]", "name one arm"},
      {{"calibrate", "--robot.type", "so101_leader"}, "Usage: tessaline calibrate [OPTIONS]", "is not a robot type"},
      {{"calibrate", "--robot.type", "so101_follower", "--teleop.type", "so101_leader"},
       "Usage: tessaline calibrate [OPTIONS]", "name one arm"},
      {{"teleoperate", "--duration", "-1"}, "Usage: tessaline teleoperate [OPTIONS]",
       "--duration: must be more than 0 seconds, not -1\n"},
  };
  for (const auto& c : cases) {
    const auto r = run_tessaline(c.args, test_support::closed_loopback_url());
    EXPECT_EQ(r.exit_code, 2) << c.args.front() << "\n" << r.err;
    EXPECT_EQ(r.err.find(c.usage), 0u) << r.err;
    EXPECT_NE(r.err.find("--help' for help."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  EXPECT_EQ(run_tessaline({"capture", "--help"}, test_support::closed_loopback_url()).exit_code, 0);
  const auto rig = run_process({test_support::built_program("tessaline-rig"), "--fps", "0"});
  EXPECT_EQ(rig.exit_code, 2);
  EXPECT_EQ(rig.err.find("Usage: tessaline-rig [OPTIONS]"), 0u) << rig.err;
  const auto studio = run_process({test_support::built_program("tessaline-studio"), "--http-port", "x"});
  EXPECT_EQ(studio.exit_code, 2);
}

TEST(Cli, ListCamerasSaysWhenThereAreNone) {
  test_support::ProcessOptions opts;
  opts.set_env = {{"TESSALINE_PACKAGE_INDEX", test_support::closed_loopback_url()}};
  opts.unset_env = {"TESSALINE_VIRTUAL_HARDWARE"};
  const auto r = run_process({test_support::built_program("tessaline"), "list-cameras"}, opts);
  EXPECT_EQ(r.exit_code, 0);
  if (r.out.find("Detected") != std::string::npos) GTEST_SKIP() << "this machine has a camera";
  EXPECT_NE(r.out.find("No cameras found."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("video group"), std::string::npos) << r.out;
}

class UpdateCheck : public ::testing::Test {
 protected:
  void serve(int status, std::string body, int delay_ms = 0) {
    srv_.server().Get("/pypi/tessaline/json", [=](const httplib::Request&, httplib::Response& res) {
      if (delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      res.status = status;
      res.set_content(body, "application/json");
    });
    base_ = srv_.start();
  }
  test_support::LocalHttpServer srv_;
  std::string base_;
};

// Versions compare as numbers: 0.10 is newer than 0.9, and an index that
// lags behind this build (a mirror) offers nothing.
TEST_F(UpdateCheck, ANewerIndexVersionShowsThePanelAnOlderOneNothing) {
  std::string version = "0.0.9";
  srv_.server().Get("/pypi/tessaline/json", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"info": {"version": ")" + version + "\"}}", "application/json");
  });
  base_ = srv_.start();
  EXPECT_EQ(run_tessaline({}, base_).out.find("Update available"), std::string::npos);
  version = "0.1.0rc1";  // a pre-release of this very version: older
  EXPECT_EQ(run_tessaline({}, base_).out.find("Update available"), std::string::npos);
  version = "0.10.0";
  const auto r = run_tessaline({}, base_);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("✨ Update available! ✨"), std::string::npos) << r.out;
  // This build's own way to update: its source folder pulled and built again.
  const std::string update = std::string("cd ") + tessaline::build_info::SOURCE_DIR + " && " +
                             (tessaline::build_info::SOURCE_IS_CHECKOUT ? "git pull && " : "") + "./scripts/build";
  EXPECT_NE(r.out.find("│ " + update + " │"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("uv "), std::string::npos);
}

TEST_F(UpdateCheck, SameVersionPrintsNothingAboutUpdates) {
  serve(200, std::string(R"({"info": {"version": ")") + tessaline::build_info::VERSION + "\"}}");
  const auto r = run_tessaline({}, base_);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.find("Update available"), std::string::npos);
}

TEST_F(UpdateCheck, EveryFailureIsSilent) {
  serve(200, "{}");
  // Each of these must leave the command's output exactly as with no index.
  const auto baseline = run_tessaline({}, test_support::closed_loopback_url());
  EXPECT_EQ(baseline.exit_code, 0);
  EXPECT_EQ(baseline.err, "");
  EXPECT_EQ(run_tessaline({}, base_).out, baseline.out);  // missing key

  struct Case {
    int status;
    std::string body;
  };
  for (const Case& c : {Case{500, R"({"info": {"version": "9.9.9"}})"}, Case{200, "not json"},
                        Case{200, R"({"info": {}})"}, Case{200, R"({"info": {"version": 5}})"}}) {
    test_support::LocalHttpServer other;
    other.server().Get("/pypi/tessaline/json", [&](const httplib::Request&, httplib::Response& res) {
      res.status = c.status;
      res.set_content(c.body, "application/json");
    });
    const auto r = run_tessaline({}, other.start());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, baseline.out) << c.body;
    EXPECT_EQ(r.err, "") << c.body;
  }
}

TEST(UpdateCheckTimeout, SlowIndexIsAbandonedAfterThreeSeconds) {
  test_support::LocalHttpServer srv;
  srv.server().Get("/pypi/tessaline/json", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    res.set_content(R"({"info": {"version": "9.9.9"}})", "application/json");
  });
  const std::string base = srv.start();
  const auto started = std::chrono::steady_clock::now();
  const auto r = run_tessaline({}, base);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.find("Update available"), std::string::npos);
  EXPECT_LT(took, std::chrono::milliseconds(4500));
}

}  // namespace
