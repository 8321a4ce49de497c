#pragma once
// The tessaline-studio program beside a test, its URLs read from what it prints.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/logged_episodes.hpp"
#include "tests/support/process.hpp"

namespace test_support {

inline std::vector<std::string> studio_command(const std::filesystem::path& data, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{built_program("tessaline-studio"), "--http-port", "0", "--flight-port", "0", "--data-dir",
                                data.string()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

struct RunningStudio {
  explicit RunningStudio(const std::filesystem::path& data, const std::vector<std::string>& extra_args = {})
      : process(studio_command(data, extra_args)) {
    const std::regex http(R"(HTTP API:\s+(http://\S+))"), flight(R"(Arrow Flight:\s+(grpc://\S+))");
    for (int i = 0; i < 1000; ++i) {
      const std::string out = process.output();
      std::smatch h, f;
      if (std::regex_search(out, h, http) && std::regex_search(out, f, flight)) {
        urls = {h[1], f[1]};
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the studio did not start: " << process.output();
  }
  int http_port() const { return std::stoi(urls.http.substr(urls.http.rfind(':') + 1)); }
  int flight_port() const { return std::stoi(urls.flight.substr(urls.flight.rfind(':') + 1)); }

  BackgroundProcess process;
  StudioUrls urls;
};

}  // namespace test_support
