// WebRTCStreamer end to end: the studio as backend, the operator app in
// headless Chromium as the browser. Runs inside a network namespace.
#include <gtest/gtest.h>

#include <thread>

#include "kit/loop/event_loop.hpp"
#include "studio/server/studio_server.hpp"
#include "tessaline/webrtc_streamer.hpp"
#include "tests/support/multicast_watch.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;
using tessaline::Json;

tessaline::NdArray solid(uint8_t r, uint8_t g, uint8_t b) {
  tessaline::NdArray img(kit::DType::uint8, {240, 320, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t i = 0; i < img.nbytes(); i += 3) p[i] = r, p[i + 1] = g, p[i + 2] = b;
  return img;
}

TEST(WebRtcEndToEnd, StreamsToTheOperatorAppAndTakesItsCommands) {
  // Nothing of the session may go to a multicast group (no UPnP/SSDP
  // discovery of routers, no mDNS): watched on every interface.
  test_support::MulticastWatch multicast;
  ASSERT_TRUE(multicast.ok()) << "cannot watch the namespace's traffic (needs root)";
  const auto dir = std::filesystem::temp_directory_path() / ("webrtc-e2e-" + std::to_string(getpid()));
  studio::Studio server(studio::StudioOptions::on_loopback(dir));
  kit::EventLoop loop;
  tessaline::WebRTCStreamer streamer(server.http_url(), nullptr, "e2e-user");
  const std::string front = "observation.images.cam_front", wrist = "observation.images.cam_wrist";

  test_support::ProcessResult browser;
  std::thread page([&] {
    browser = test_support::run_process({NODE_EXECUTABLE, std::string(TESSALINE_BROWSER_DIR) + "/streamer_app.mjs",
                                         server.http_url(), "e2e-user"});
  });
  try {
    loop.run_blocking(streamer.connect({front, wrist}), 40s);
  } catch (const std::exception& e) {
    page.join();
    FAIL() << "connect failed: " << e.what() << "\n" << browser.out << browser.err;
  }
  std::atomic<bool> feeding = true;
  std::thread camera([&] {
    const auto red = solid(200, 30, 60), blue = solid(20, 160, 220);
    while (feeding) {
      streamer.update_camera_frame(front, red);
      streamer.update_camera_frame(wrist, blue);
      std::this_thread::sleep_for(30ms);
    }
  });
  // Stopped on every way out, a failed assertion's too.
  struct StopsFeeding {
    std::atomic<bool>& feeding;
    std::thread& camera;
    ~StopsFeeding() {
      feeding = false;
      if (camera.joinable()) camera.join();
    }
  } camera_stops{feeding, camera};
  for (int i = 0; i < 300 && !streamer.is_connected(); ++i) std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(streamer.is_connected());

  auto status = [&](const std::string& s, Json data) {
    loop.run_blocking([&]() -> asio::awaitable<void> { streamer.send_status(s, data); co_return; }(), 5s);
  };
  auto next_command = [&] { return loop.run_blocking(streamer.wait_for_command(30.0), 35s); };
  status("camera_selection", {{"cameras", {front, wrist}}, {"selected", {front, wrist}}});
  EXPECT_EQ(next_command(), "select_cameras");
  EXPECT_EQ(streamer.selected_cameras(), Json::array({front}));
  EXPECT_EQ(next_command(), "start");
  EXPECT_EQ(streamer.repo_id(), "lab/towels");
  status("recording", {{"episode", 1}});
  EXPECT_EQ(next_command(), "end_episode");
  EXPECT_EQ(next_command(), "retry_episode");
  status("recording", {{"retried", true}});
  EXPECT_EQ(next_command(), "end");
  EXPECT_EQ(streamer.dataset_name(), "towels-v1");
  status("idle", {{"episode", 1}, {"completed", true}});

  page.join();
  ASSERT_EQ(browser.exit_code, 0) << browser.out << browser.err;
  const Json report = Json::parse(browser.out.substr(browser.out.find('{')));
  EXPECT_EQ(report["size"], Json::array({320, 240}));
  const Json expected_statuses = {
      {{"status", "camera_selection"}, {"cameras", {front, wrist}}, {"selected", {front, wrist}}},
      {{"status", "recording"}, {"episode", 1}},
      {{"status", "recording"}, {"retried", true}},
      {{"status", "idle"}, {"episode", 1}, {"completed", true}},
  };
  EXPECT_EQ(report["statuses"], expected_statuses);

  // The browser was killed: noticed within 10 s, and the streamer closed itself.
  const auto killed = std::chrono::steady_clock::now();
  while (streamer.is_connected() && std::chrono::steady_clock::now() - killed < 15s) std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(streamer.is_connected());
  while (streamer.has_peer_connection() && std::chrono::steady_clock::now() - killed < 15s) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(streamer.has_peer_connection());
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
  EXPECT_EQ(streamer.dataset_name(), "towels-v1");  // kept after close
  feeding = false;
  camera.join();
  loop.run_blocking(streamer.close(), 10s);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(multicast.seen(), std::vector<std::string>());
}

}  // namespace
