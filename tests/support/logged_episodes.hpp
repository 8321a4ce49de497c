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

#include <httplib.h>

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

// What each logged frame holds: cameras (cam_front, cam_wrist, cam_side,
// cam_top, in that order) of one size, and joint values.
struct FrameShape {
  int width = 96, height = 64;
  int cameras = 2;
  int joints = 6;
};

// Logs episodes of `lengths` frames for `user`, ending each.
inline void record_episodes(const StudioUrls& studio, const std::string& user, const std::vector<int>& lengths,
                            const std::string& task, const FrameShape& shape) {
  static const char* names[] = {"cam_front", "cam_wrist", "cam_side", "cam_top"};
  tessaline::VelquinGrpcClient client(studio.flight.substr(7), user);
  testing::internal::CaptureStdout();
  for (const int length : lengths) {
    if (!task.empty()) {
      kit::http::post_json(studio.http + "/sessions/task", {{"userId", user}, {"task", task}}, kit::http::Seconds(5));
    }
    for (int i = 0; i < length; ++i) {
      auto r = std::make_shared<tessaline::Record>();
      for (int c = 0; c < shape.cameras; ++c) {
        r->set(std::string("observation.images.") + names[c], picture(i, c, shape.width, shape.height));
      }
      std::vector<float> state;
      for (int j = 0; j < shape.joints; ++j) state.push_back(static_cast<float>(i + j));
      r->set("state", tessaline::NdArray::from_vector(kit::DType::float32, state));
      r->set("timestamp", i / 15.0);
      tessaline::List action;
      for (int j = 0; j < shape.joints; ++j) action.push_back(0.5 * i - j);
      client.log_robot_data(r, tessaline::Value(action), i + 1 == length, 15.0, std::string("so101_follower"));
    }
    client.wait_pending();
    EXPECT_TRUE(client.end_episode(studio.http));
  }
  testing::internal::GetCapturedStdout();
}

inline void record_episodes(const StudioUrls& studio, const std::string& user, const std::vector<int>& lengths,
                            const std::string& task = "", int width = 96, int height = 64) {
  record_episodes(studio, user, lengths, task, FrameShape{width, height});
}

// The frames of an MP4 as RGB pictures (ffmpeg decodes them), width × height × 3 each.
inline std::vector<std::string> decoded_frames(const std::filesystem::path& mp4, int width, int height) {
  const auto raw = run_process({"/usr/bin/ffmpeg", "-v", "error", "-i", mp4.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  const size_t size = static_cast<size_t>(width) * height * 3;
  std::vector<std::string> frames;
  for (size_t at = 0; at + size <= raw.out.size(); at += size) frames.push_back(raw.out.substr(at, size));
  return frames;
}

// Mean difference per channel between a decoded frame and `picture` over a
// patch away from the edges (encoding leaves a few levels either way).
inline double patch_difference(const std::string& frame, const tessaline::NdArray& picture, int width) {
  const auto* want = reinterpret_cast<const uint8_t*>(picture.data());
  const auto* got = reinterpret_cast<const uint8_t*>(frame.data());
  double sum = 0;
  int n = 0;
  for (int y = 16; y < 48; ++y) {
    for (int x = 16; x < 80 && x < width - 8; ++x) {
      for (int k = 0; k < 3; ++k, ++n) sum += std::abs(int(want[(y * width + x) * 3 + k]) - int(got[(y * width + x) * 3 + k]));
    }
  }
  return sum / std::max(n, 1);
}

// The state of `user`'s export of `repo` once it is no longer running.
inline kit::json::Json wait_for_export(const std::string& http_url, const std::string& repo, const std::string& user = "op") {
  kit::json::Json state;
  const std::string query = "?repoId=" + httplib::detail::encode_query_param(repo) +
                            "&userId=" + httplib::detail::encode_query_param(user);
  for (int i = 0; i < 3000; ++i) {
    state = kit::http::get(http_url + "/sessions/export-status" + query, kit::http::Seconds(5)).json();
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
