// The frame-logging client against real servers on loopback: a Flight
// server receiving the puts and an HTTP server for the episode endpoints.
#include "tessaline/grpc_client.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <algorithm>
#include <cmath>

#include "kit/jpeg/jpeg.hpp"
#include "tessaline/config.hpp"
#include "tests/support/flight_recorder.hpp"
#include "tests/support/local_http.hpp"

namespace {

using tessaline::NdArray;
using tessaline::Record;
using tessaline::Value;
using tessaline::VelquinGrpcClient;

NdArray gradient_image(size_t height, size_t width, int seed) {
  NdArray img(kit::DType::uint8, {height, width, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      p[(y * width + x) * 3 + 0] = static_cast<uint8_t>(x * 4 + seed);
      p[(y * width + x) * 3 + 1] = static_cast<uint8_t>(y * 4);
      p[(y * width + x) * 3 + 2] = static_cast<uint8_t>(200 - seed);
    }
  }
  return img;
}

std::shared_ptr<const Record> frame(double ts, bool with_state = true) {
  auto r = std::make_shared<Record>();
  r->set("observation.images.cam_front", gradient_image(48, 64, 10));
  r->set("observation.images.cam_wrist", gradient_image(48, 64, 90));
  if (with_state) r->set("state", NdArray::from_vector(kit::DType::float32, std::vector<float>{0.5f, -1.25f, 3.0f}));
  r->set("timestamp", ts);
  return r;
}

Value action() { return Value(tessaline::List{0.1, 0.2, 0.3}); }

double mean_abs_diff(const std::vector<uint8_t>& a, const NdArray& b) {
  const auto* q = reinterpret_cast<const uint8_t*>(b.data());
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(q[i]));
  return sum / static_cast<double>(a.size());
}

TEST(GrpcClientLocation, NormalisesToTheGrpcScheme) {
  EXPECT_EQ(VelquinGrpcClient("127.0.0.1:50051").location(), "grpc://127.0.0.1:50051");
  EXPECT_EQ(VelquinGrpcClient("grpc://h:1").location(), "grpc://h:1");
  const std::string saved = tessaline::config::VELQUIN_GRPC_SERVER;
  tessaline::config::VELQUIN_GRPC_SERVER = "cfg-host:7";
  EXPECT_EQ(VelquinGrpcClient("").location(), "grpc://cfg-host:7");  // read at construction
  tessaline::config::VELQUIN_GRPC_SERVER = saved;
  EXPECT_THROW(VelquinGrpcClient("grpc+tls://h:1"), kit::flight::FlightError);  // becomes grpc://grpc+tls://...
}

TEST(GrpcClient, FramesArriveAsOnePutEachWithColumnsInOrder) {
  test_support::FlightRecorder server;
  testing::internal::CaptureStdout();
  {
    VelquinGrpcClient client(server.host_port(), "op-1");
    client.log_robot_data(frame(0.0), action(), false, 30.0, "so101_follower");
    client.log_robot_data(frame(0.033), action());
    client.log_robot_data(frame(0.066), action(), true, 30.0, "so101_follower");
    client.wait_pending();
    EXPECT_EQ(client.pending_count(), 0u);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[gRPC Client] Sending episode_end=True\n");

  const auto puts = server.puts();
  ASSERT_EQ(puts.size(), 3u);
  int episode_ends = 0;
  for (const auto& put : puts) {
    EXPECT_EQ(put.descriptor.path, std::vector<std::string>{"robot_data"});
    ASSERT_EQ(put.batches.size(), 1u);
    const auto& batch = *put.batches[0];
    EXPECT_EQ(batch.num_rows(), 1);
    EXPECT_EQ(batch.GetColumnByName("user_id")->GetView(0), "op-1");
    const bool end = batch.GetColumnByName("episode_end")->GetBool(0);
    std::vector<std::string> expected = {"timestamp", "action", "episode_end", "user_id"};
    if (end) {
      ++episode_ends;
      expected.insert(expected.end(), {"fps", "robot_type"});
      EXPECT_EQ(batch.GetColumnByName("fps")->GetDouble(0), 30.0);
      EXPECT_EQ(batch.GetColumnByName("robot_type")->GetView(0), "so101_follower");
    }
    // Last, the frame's own id: a frame sent again is known as the same one.
    expected.insert(expected.end(), {"observation.images.cam_front", "observation.images.cam_wrist", "state", "frame_id"});
    EXPECT_EQ(batch.schema()->field_names(), expected);
    EXPECT_EQ(batch.GetColumnByName("state")->GetDoubleList(0), (std::vector<double>{0.5, -1.25, 3.0}));
    EXPECT_EQ(batch.GetColumnByName("action")->GetDoubleList(0), (std::vector<double>{0.1, 0.2, 0.3}));
    const auto jpeg = std::string(batch.GetColumnByName("observation.images.cam_wrist")->GetView(0));
    const auto decoded = kit::jpeg::decode_rgb(jpeg);
    EXPECT_EQ(decoded.width, 64);
    EXPECT_EQ(decoded.height, 48);
    EXPECT_LT(mean_abs_diff(decoded.rgb, gradient_image(48, 64, 90)), 3.0);  // colours kept, not swapped
  }
  EXPECT_EQ(episode_ends, 1);
}

TEST(GrpcClient, OptionalColumnsAreLeftOutNotNull) {
  test_support::FlightRecorder server;
  VelquinGrpcClient client(server.host_port());
  auto r = std::make_shared<Record>();
  r->set("observation.images.cam_front", Value());  // camera without a picture
  r->set("observation.images.cam_side", NdArray::from_vector(kit::DType::float32, std::vector<float>(12)));
  r->set("state", NdArray::from_vector(kit::DType::float64, std::vector<double>{1.0}));
  testing::internal::CaptureStdout();
  client.log_robot_data(r, Value(tessaline::List{}));
  client.log_robot_data(r, Value("not a list"));
  client.wait_pending();
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(server.puts().size(), 0u) << out;  // a 1-D array under an image key is no picture
  EXPECT_NE(out.find("Error sending data: Invalid number of channels in input image"), std::string::npos);

  r->set("observation.images.cam_side", NdArray(kit::DType::float32, {4, 4, 3}));  // encoder refuses float
  client.log_robot_data(r, Value(tessaline::List{}));
  client.wait_pending();
  ASSERT_EQ(server.wait_for_puts(1, 5), 1u);
  EXPECT_EQ(server.puts()[0].batches[0]->schema()->field_names(),
            (std::vector<std::string>{"episode_end", "user_id", "state", "frame_id"}));
}

TEST(GrpcClient, InvalidFramesArePrintedAndNotSent) {
  test_support::FlightRecorder server;
  VelquinGrpcClient client(server.host_port());
  auto no_state = frame(0.0, false);
  auto bad_state = std::make_shared<Record>(*no_state);
  bad_state->set("state", Value(tessaline::List{1.0, 2.0}));
  auto gray = std::make_shared<Record>(*frame(0.0));
  gray->set("observation.images.cam_front", NdArray(kit::DType::uint8, {48, 64}));

  testing::internal::CaptureStdout();
  client.log_robot_data(no_state, action());
  client.wait_pending();
  client.log_robot_data(bad_state, action());
  client.wait_pending();
  client.log_robot_data(gray, action());
  client.wait_pending();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Error sending data: observation must contain 'state' key\n"), std::string::npos);
  EXPECT_NE(out.find("Error sending data: observation['state'] must be a numpy array\n"), std::string::npos);
  EXPECT_NE(out.find("Error sending data: Invalid number of channels in input image"), std::string::npos);
  EXPECT_EQ(server.puts().size(), 0u);
}

TEST(GrpcClient, AbsentServerIsReportedAndTheCallerGoesOn) {
  const std::string closed = test_support::closed_loopback_url().substr(std::string("http://").size());
  VelquinGrpcClient client(closed);
  testing::internal::CaptureStdout();
  client.log_robot_data(frame(0.0), action());
  client.wait_pending(10.0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Flight error: ", 0), 0u) << out;
}

TEST(GrpcClient, StalledPutsAreGivenUpPerFrameAndTheListEmptied) {
  test_support::FlightRecorder server;
  server.hold();
  VelquinGrpcClient client(server.host_port());
  for (int i = 0; i < 3; ++i) client.log_robot_data(frame(i), action());
  EXPECT_EQ(client.pending_count(), 3u);
  testing::internal::CaptureStdout();
  const auto started = std::chrono::steady_clock::now();
  client.wait_pending(0.5);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "gRPC call failed: \ngRPC call failed: \ngRPC call failed: \n");
  EXPECT_GE(took, 1.4);
  EXPECT_LT(took, 3.0);
  EXPECT_EQ(client.pending_count(), 0u);
  server.release();
  client.shutdown();  // waits for the held sends, which now complete
  EXPECT_EQ(server.puts().size(), 3u);
  EXPECT_THROW(client.log_robot_data(frame(9), action()), kit::PoolShutDown);
}

TEST(GrpcClient, LeavingAScopeKeepsSending) {
  test_support::FlightRecorder server;
  server.hold();
  VelquinGrpcClient client(server.host_port());
  {
    auto scoped = client.scope();
    scoped->log_robot_data(frame(0), action());
  }
  server.release();
  EXPECT_EQ(server.wait_for_puts(1, 5), 1u);
}

class EpisodeEndpoints : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_.server().Post("/sessions/episodes/end", [this](const httplib::Request& req, httplib::Response& res) {
      bodies_.push_back(req.body);
      res.status = end_status_;
      res.set_content(end_answer_, "application/json");
    });
    srv_.server().Post("/sessions/episodes/reset", [this](const httplib::Request& req, httplib::Response& res) {
      bodies_.push_back(req.body);
      res.set_content(reset_answer_, "application/json");
    });
    base_ = srv_.start();
  }
  std::string run(bool end, VelquinGrpcClient& client, bool* ok) {
    testing::internal::CaptureStdout();
    *ok = end ? client.end_episode(base_) : client.reset_episode(base_);
    return testing::internal::GetCapturedStdout();
  }
  test_support::LocalHttpServer srv_;
  std::string base_;
  std::vector<std::string> bodies_;
  int end_status_ = 200;
  std::string end_answer_ = R"({"episodeIndex": 0, "totalEpisodes": 1})";
  std::string reset_answer_ = R"({"framesCleared": 42})";
};

TEST_F(EpisodeEndpoints, EndAndResetSendTheirBodiesAndPrintTheAnswers) {
  VelquinGrpcClient client("127.0.0.1:1", "op");
  bool ok = false;
  EXPECT_EQ(run(true, client, &ok), "[gRPC Client] Episode 0 ended, total episodes: 1\n");
  EXPECT_TRUE(ok);
  client.repo_id = "lab/towels";
  end_answer_ = R"({"episodeIndex": 1})";
  EXPECT_EQ(run(true, client, &ok), "[gRPC Client] Episode 1 ended, total episodes: None\n");
  EXPECT_TRUE(ok);
  EXPECT_EQ(run(false, client, &ok), "[gRPC Client] Episode reset, 42 frames cleared\n");
  EXPECT_TRUE(ok);
  EXPECT_EQ(bodies_, (std::vector<std::string>{R"({"userId": "op", "repoId": null})",
                                               R"({"userId": "op", "repoId": "lab/towels"})",
                                               R"({"userId": "op"})"}));
}

TEST_F(EpisodeEndpoints, FailuresArePrintedAndReturnFalse) {
  VelquinGrpcClient client("127.0.0.1:1", "op");
  bool ok = true;
  end_status_ = 500;
  EXPECT_EQ(run(true, client, &ok),
            "[gRPC Client] Failed to end episode: 500 Server Error: Internal Server Error for url: " + base_ +
                "/sessions/episodes/end\n");
  EXPECT_FALSE(ok);
  end_status_ = 200;
  for (const char* body : {"<html>oops</html>", "[1, 2]"}) {
    end_answer_ = body;
    ok = true;
    EXPECT_EQ(run(true, client, &ok).rfind("[gRPC Client] Failed to end episode: ", 0), 0u) << body;
    EXPECT_FALSE(ok);
  }
  testing::internal::CaptureStdout();
  EXPECT_FALSE(client.reset_episode(test_support::closed_loopback_url()));
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[gRPC Client] Failed to reset episode: ", 0), 0u);
}

// The studio stops for a while (a restart on its port): frames it did not
// take are held, said once, and sent when it is back — every one, once, in
// order, before the session ends.
TEST(GrpcClient, FramesTheStudioDidNotTakeAreHeldAndSentInOrder) {
  auto before = std::make_unique<test_support::FlightRecorder>();
  const int port = before->port();
  VelquinGrpcClient client("127.0.0.1:" + std::to_string(port));
  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) client.log_robot_data(frame(i), Value(tessaline::List{1.0}));
  client.wait_pending();
  ASSERT_EQ(before->wait_for_puts(5, 10), 5u);
  before.reset();  // the studio goes away
  for (int i = 5; i < 15; ++i) client.log_robot_data(frame(i), Value(tessaline::List{1.0}));
  client.wait_pending();
  EXPECT_EQ(client.frames_held(), 10u);
  test_support::FlightRecorder after(port);  // and is back
  client.shutdown();
  const std::string out = testing::internal::GetCapturedStdout();
  const auto puts = after.puts();
  ASSERT_EQ(puts.size(), 10u) << out;
  std::vector<double> timestamps;  // the workers hand frames over in the order they take the lock
  for (const auto& put : puts) {
    const auto& batch = *put.batches[0];
    const double ts = batch.GetColumnByName("timestamp")->GetDouble(0);
    timestamps.push_back(ts);
    EXPECT_TRUE(std::string(batch.GetColumnByName("frame_id")->GetView(0)).ends_with(":" + std::to_string(static_cast<int>(ts))));
  }
  std::sort(timestamps.begin(), timestamps.end());
  EXPECT_EQ(timestamps, (std::vector<double>{5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(std::make_pair(client.frames_sent(), client.frames_failed()), std::make_pair(size_t{15}, size_t{0}));
  size_t told = 0;
  for (size_t at = out.find("Flight error: "); at != std::string::npos; at = out.find("Flight error: ", at + 1)) ++told;
  EXPECT_EQ(told, 1u) << out;
  EXPECT_NE(out.find("The studio takes frames again"), std::string::npos) << out;
}

// Past the memory the robot holds frames in, they wait on disk, in order
// behind the others: a studio away for long loses none of them.
TEST(GrpcClient, FramesPastTheMemoryBoundWaitOnDiskAndAreSentInOrder) {
  const auto spool_parent = std::filesystem::temp_directory_path() / ("spool-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(spool_parent);
  // A killed program's spool (no process 2^22 + 1 runs): removed, its frames went with it.
  const auto orphan = spool_parent / "tessaline-frames-4194305-1";
  std::filesystem::create_directories(orphan);
  std::ofstream(orphan / "0.arrows") << "frame";
  setenv("TESSALINE_HELD_MEMORY_MB", "1", 1);
  setenv("TESSALINE_SPOOL_DIR", spool_parent.c_str(), 1);
  auto before = std::make_unique<test_support::FlightRecorder>();
  const int port = before->port();
  auto client = std::make_unique<VelquinGrpcClient>("127.0.0.1:" + std::to_string(port));
  unsetenv("TESSALINE_HELD_MEMORY_MB");
  unsetenv("TESSALINE_SPOOL_DIR");
  const auto big_frame = [](int i) {
    auto r = std::make_shared<Record>();
    NdArray noise(kit::DType::uint8, {240, 320, 3});  // noise: JPEG keeps it large (~100 KB)
    std::mt19937 random(static_cast<unsigned>(i));
    for (size_t b = 0; b < noise.nbytes(); ++b) noise.mutable_data()[b] = static_cast<std::byte>(random());
    r->set("observation.images.cam_front", noise);
    r->set("state", NdArray::from_vector(kit::DType::float32, std::vector<float>{float(i)}));
    r->set("timestamp", double(i));
    return r;
  };
  testing::internal::CaptureStdout();
  before.reset();  // the studio is away from the start
  constexpr int kFrames = 40;
  for (int i = 0; i < kFrames; ++i) client->log_robot_data(big_frame(i), Value(tessaline::List{1.0}));
  client->wait_pending();
  EXPECT_EQ(client->frames_held(), size_t{kFrames});
  size_t on_disk = 0;
  for (const auto& folder : std::filesystem::directory_iterator(spool_parent)) {
    on_disk += static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
  }
  EXPECT_GT(on_disk, size_t{20});  // 1 MiB holds a few; the rest are on disk
  test_support::FlightRecorder after(port);  // and is back
  client->shutdown();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("newer frames wait on disk in " + spool_parent.string()), std::string::npos) << out;
  const auto puts = after.puts();
  ASSERT_EQ(puts.size(), size_t{kFrames}) << out;
  std::vector<double> timestamps;
  for (const auto& put : puts) timestamps.push_back(put.batches[0]->GetColumnByName("timestamp")->GetDouble(0));
  std::sort(timestamps.begin(), timestamps.end());
  for (int i = 0; i < kFrames; ++i) EXPECT_EQ(timestamps[static_cast<size_t>(i)], double(i));
  EXPECT_EQ(client->frames_failed(), 0u);
  client.reset();
  EXPECT_TRUE(std::filesystem::is_empty(spool_parent));  // the spool goes with the client
  std::filesystem::remove_all(spool_parent);
}

}  // namespace
