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

TEST(Cli, HelpNamesTheToolAndHidesDebug) {
  const auto r = run_tessaline({"--help"}, test_support::closed_loopback_url());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Tessaline CLI - Robot teleoperation and data collection"), std::string::npos);
  EXPECT_EQ(r.out.find("--debug"), std::string::npos);
  EXPECT_EQ(run_tessaline({"--debug", "--help"}, test_support::closed_loopback_url()).exit_code, 0);
}

TEST(Cli, UnknownOptionIsAUsageError) {
  const auto r = run_tessaline({"--no-such-option"}, test_support::closed_loopback_url());
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("--no-such-option"), std::string::npos);
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

TEST_F(UpdateCheck, DifferentIndexVersionShowsThePanelEvenWhenOlder) {
  ASSERT_NE(std::string(tessaline::build_info::VERSION), "1.1.9");
  serve(200, R"({"info": {"version": "1.1.9"}})");
  const auto r = run_tessaline({}, base_);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("✨ Update available! ✨"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("│ uv pip install -U tessaline │"), std::string::npos);
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
