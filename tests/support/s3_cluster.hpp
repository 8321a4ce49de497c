#pragma once
// The Ceph gateway the suite started (tests/storage/ceph_cluster.sh): its
// s3.env, which CTest names in TESSALINE_S3_ENV, and awscli with its
// credentials as the independent client.
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/s3/client.hpp"
#include "tests/support/process.hpp"

namespace test_support {

inline std::map<std::string, std::string> s3_env() {
  const char* path = std::getenv("TESSALINE_S3_ENV");
  if (!path) throw std::runtime_error("TESSALINE_S3_ENV is not set (CTest sets it)");
  std::ifstream in(path);
  std::map<std::string, std::string> env;
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

inline kit::s3::Endpoint s3_endpoint() {
  const auto env = s3_env();
  return {.url = env.at("S3_ENDPOINT"), .region = env.at("AWS_REGION"), .access_key = env.at("AWS_ACCESS_KEY_ID"),
          .secret_key = env.at("AWS_SECRET_ACCESS_KEY")};
}

// Debian's awscli, with the cluster's credentials: what another tool reads.
inline ProcessResult aws(std::vector<std::string> args) {
  const auto env = s3_env();
  std::vector<std::string> argv = {"/usr/bin/aws", "--endpoint-url", env.at("S3_ENDPOINT")};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION"}) options.set_env[name] = env.at(name);
  return run_process(argv, options);
}

}  // namespace test_support
