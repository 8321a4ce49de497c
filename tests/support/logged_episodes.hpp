#pragma once
// Episodes logged to a studio as a capture does, and the studio's export
// read back by the independent readers in tests/node/read_dataset.mjs.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kit/http/client.hpp"
#include "kit/json/text.hpp"
#include "tessaline/grpc_client.hpp"
#include "tests/support/process.hpp"

namespace test_support {

// A picture that changes with the frame: a gradient, a moving bar, a shade per camera.
inline tessaline::NdArray picture(int frame, int camera, int width, int height) {
  tessaline::NdArray img(kit::DType::uint8, {static_cast<size_t>(height), static_cast<size_t>(width), 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* px = p + (y * width + x) * 3;
      const bool bar = std::abs(x - (frame * 7) % width) < 6;
      px[0] = static_cast<uint8_t>(bar ? 240 : 2 * x);
      px[1] = static_cast<uint8_t>(bar ? 240 : 3 * y);
      px[2] = static_cast<uint8_t>(camera ? 200 : 60);
    }
  }
  return img;
}

struct StudioUrls {
  std::string http;    // http://host:port
  std::string flight;  // grpc://host:port
};

// Logs episodes of `lengths` frames from two cameras for `user`, ending each.
inline void record_episodes(const StudioUrls& studio, const std::string& user, const std::vector<int>& lengths,
                            const std::string& task = "", int width = 96, int height = 64) {
  tessaline::VelquinGrpcClient client(studio.flight.substr(7), user);
  testing::internal::CaptureStdout();
  for (const int length : lengths) {
    if (!task.empty()) {
      kit::http::post_json(studio.http + "/sessions/task", {{"userId", user}, {"task", task}}, kit::http::Seconds(5));
    }
    for (int i = 0; i < length; ++i) {
      auto r = std::make_shared<tessaline::Record>();
      r->set("observation.images.cam_front", picture(i, 0, width, height));
      r->set("observation.images.cam_wrist", picture(i, 1, width, height));
      std::vector<float> state;
      for (int j = 0; j < 6; ++j) state.push_back(static_cast<float>(i + j));
      r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, state));
      r->set("timestamp", i / 15.0);
      tessaline::List action;
      for (int j = 0; j < 6; ++j) action.push_back(0.5 * i - j);
      client.log_robot_data(r, tessaline::Value(action), i + 1 == length, 15.0, std::string("so101_follower"));
    }
    client.wait_pending();
    EXPECT_TRUE(client.end_episode(studio.http));
  }
  testing::internal::GetCapturedStdout();
}

// The export's state once it is no longer running.
inline kit::json::Json wait_for_export(const std::string& http_url, const std::string& repo) {
  kit::json::Json state;
  for (int i = 0; i < 3000; ++i) {
    state = kit::http::get(http_url + "/sessions/export-status?repoId=" + repo, kit::http::Seconds(5)).json();
    if (state["state"] != "running") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return state;
}

inline kit::json::Json read_dataset(const std::filesystem::path& dataset) {
  const auto run = run_process({NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/read_dataset.mjs", dataset.string()});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return kit::json::Json::parse(run.out);
}

}  // namespace test_support
