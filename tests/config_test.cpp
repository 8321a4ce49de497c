#include "tessaline/config.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/process.hpp"

namespace {

using tessaline::config::resolve;

TEST(Config, DefaultsWithNoVariablesSet) {
  const auto s = resolve({}, "/home/op");
  EXPECT_EQ(s.HF_HOME, "/home/op/.cache/huggingface");
  EXPECT_EQ(s.HF_LEROBOT_HOME, "/home/op/.cache/huggingface/lerobot");
  EXPECT_FALSE(s.TURN_USERNAME.has_value());
  EXPECT_FALSE(s.TURN_CREDENTIAL.has_value());
  EXPECT_TRUE(s.VELQUIN_HTTP_SERVER.starts_with("https://"));
  EXPECT_TRUE(s.STUDIO_URL.starts_with("https://"));
  EXPECT_TRUE(s.VELQUIN_GRPC_SERVER.starts_with("grpc://"));
  EXPECT_TRUE(s.VELQUIN_GRPC_SERVER.ends_with(":50051"));
}

TEST(Config, RobotHomeFollowsResolvedHfHomeUnlessSetItself) {
  EXPECT_EQ(resolve({{"HF_HOME", "/data/hf"}}, "/home/op").HF_LEROBOT_HOME, "/data/hf/lerobot");
  const auto s = resolve({{"HF_HOME", "/data/hf"}, {"HF_LEROBOT_HOME", "/robots"}}, "/home/op");
  EXPECT_EQ(s.HF_LEROBOT_HOME, "/robots");
  EXPECT_EQ(s.HF_HOME, "/data/hf");
}

TEST(Config, SetButEmptyIsEmptyNotDefault) {
  const auto s = resolve({{"VELQUIN_HTTP_SERVER", ""}, {"TURN_USERNAME", ""}, {"HF_HOME", ""}}, "/home/op");
  EXPECT_EQ(s.VELQUIN_HTTP_SERVER, "");
  ASSERT_TRUE(s.TURN_USERNAME.has_value());
  EXPECT_EQ(*s.TURN_USERNAME, "");
  EXPECT_EQ(s.HF_LEROBOT_HOME, "lerobot");
}

TEST(Config, ValuesAreFixedAtStartupButAssignable) {
  const std::string before = tessaline::config::VELQUIN_GRPC_SERVER;
  setenv("VELQUIN_GRPC_SERVER", "grpc://changed:1", 1);
  EXPECT_EQ(tessaline::config::VELQUIN_GRPC_SERVER, before);
  unsetenv("VELQUIN_GRPC_SERVER");
  tessaline::config::VELQUIN_GRPC_SERVER = "grpc://assigned:2";
  EXPECT_EQ(tessaline::config::VELQUIN_GRPC_SERVER, "grpc://assigned:2");
  tessaline::config::VELQUIN_GRPC_SERVER = before;
}

TEST(Config, ProcessReadsItsEnvironmentAtStartup) {
  test_support::ProcessOptions opts;
  opts.set_env = {{"HF_HOME", "/tmp/hf-home"}, {"TURN_CREDENTIAL", "s3cret"}, {"HOME", "/nowhere"}};
  opts.unset_env = {"HF_LEROBOT_HOME", "TURN_USERNAME"};
  const auto r = test_support::run_process({test_support::built_program("config_probe")}, opts);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("HF_LEROBOT_HOME=/tmp/hf-home/lerobot\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("TURN_USERNAME=<none>\n"), std::string::npos);
  EXPECT_NE(r.out.find("TURN_CREDENTIAL=s3cret\n"), std::string::npos);
}

}  // namespace
