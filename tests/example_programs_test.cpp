// The example programs, run as a user would against real local servers.
#include <gtest/gtest.h>

#include "tests/support/flight_recorder.hpp"
#include "tests/support/local_http.hpp"
#include "tests/support/process.hpp"

namespace {

TEST(ExampleLogFrames, PutsEveryFrameAndEndsTheEpisode) {
  test_support::FlightRecorder flight;
  test_support::LocalHttpServer http;
  std::string end_body;
  http.server().Post("/sessions/episodes/end", [&](const httplib::Request& req, httplib::Response& res) {
    end_body = req.body;
    res.set_content(R"({"episodeIndex": 0, "totalEpisodes": 1})", "application/json");
  });
  const std::string base = http.start();
  const auto r = test_support::run_process({test_support::built_program("log_frames"), "--location",
                                            flight.location(), "--http", base, "--frames", "6", "--cameras", "2",
                                            "--width", "80", "--height", "60", "--user-id", "example-user"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("put 6 of 6 frames (2 cameras, 80x60)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[gRPC Client] Episode 0 ended, total episodes: 1"), std::string::npos) << r.out;
  EXPECT_EQ(end_body, R"({"userId": "example-user", "repoId": "examples/log_frames"})");
  const auto puts = flight.puts();
  ASSERT_EQ(puts.size(), 6u);
  int with_fps = 0;
  for (const auto& p : puts) with_fps += p.schema->GetFieldIndex("fps") >= 0;
  EXPECT_EQ(with_fps, 1);
}

TEST(ExampleLogFrames, UnreachableServerIsAFailedRun) {
  const auto r = test_support::run_process({test_support::built_program("log_frames"), "--location",
                                            "grpc://127.0.0.1:9", "--frames", "2", "--width", "8", "--height", "8"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Flight error: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("put 0 of 2 frames"), std::string::npos) << r.out;
}

}  // namespace
