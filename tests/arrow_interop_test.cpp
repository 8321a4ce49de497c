// What the client puts must read back with an Arrow implementation nobody
// here wrote: the received streams are saved as .arrows files and checked
// by the apache-arrow npm package.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kit/flight/ipc.hpp"
#include "kit/json/text.hpp"
#include "tessaline/grpc_client.hpp"
#include "tests/support/flight_recorder.hpp"
#include "tests/support/process.hpp"

namespace {

using kit::json::Json;
using tessaline::NdArray;

uint32_t checksum(std::string_view bytes) {
  uint32_t sum = 0;
  for (const char c : bytes) sum += static_cast<uint8_t>(c);
  return sum;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ArrowInterop, PutsReadBackWithTheReferenceJavaScriptReader) {
  test_support::FlightRecorder server;
  const int frames = 4;
  {
    tessaline::VelquinGrpcClient client(server.host_port(), "interop-user");
    for (int i = 0; i < frames; ++i) {
      auto r = std::make_shared<tessaline::Record>();
      NdArray img(kit::DType::uint8, {24, 32, 3});
      std::memset(img.mutable_data(), 40 * i, img.nbytes());
      r->set("observation.images.cam_front", img);
      r->set("state", NdArray::from_vector(kit::DType::float32, std::vector<float>{float(i), 0.25f}));
      r->set("timestamp", i / 30.0);
      const bool end = i == frames - 1;
      client.log_robot_data(r, tessaline::Value(tessaline::List{1.5 * i, -2.0}), end, 30, "koch_follower");
    }
    client.shutdown();
  }
  const auto puts = server.puts();
  ASSERT_EQ(puts.size(), static_cast<size_t>(frames));

  const auto dir = std::filesystem::temp_directory_path() / ("arrow-interop-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (size_t n = 0; n < puts.size(); ++n) {
    const auto& batch = *puts[n].batches[0];
    // Expected values come from what was sent, looked up by the timestamp.
    const double ts = batch.GetColumnByName("timestamp")->GetDouble(0);
    const int i = static_cast<int>(std::lround(ts * 30));
    const bool end = i == frames - 1;
    Json expected{{"rows", 1}, {"fields", Json::array()}, {"values", Json::object()}};
    auto add = [&](const std::string& name, const std::string& type, Json value) {
      expected["fields"].push_back({{"name", name}, {"type", type}, {"nullable", true}});
      expected["values"][name] = std::move(value);
    };
    add("timestamp", "double", i / 30.0);
    add("action", "list<item: double>", Json::array({1.5 * i, -2.0}));
    add("episode_end", "bool", end);
    add("user_id", "string", "interop-user");
    if (end) {
      add("fps", "double", 30.0);
      add("robot_type", "string", "koch_follower");
    }
    const auto jpeg = batch.GetColumnByName("observation.images.cam_front")->GetView(0);
    add("observation.images.cam_front", "binary", {{"length", jpeg.size()}, {"checksum", checksum(jpeg)}});
    add("state", "list<item: double>", Json::array({double(i), 0.25}));
    add("frame_id", "string", std::string(batch.GetColumnByName("frame_id")->GetView(0)));
    EXPECT_TRUE(std::string(batch.GetColumnByName("frame_id")->GetView(0)).ends_with(":" + std::to_string(i)));
    const std::string stem = (dir / ("put" + std::to_string(n))).string();
    write_file(stem + ".arrows", kit::flight::ipc::WriteStream(batch.schema(), puts[n].batches));
    write_file(stem + ".json", expected.dump());
  }

  const auto result = test_support::run_process(
      {NODE_EXECUTABLE, std::string(TESSALINE_NODE_DIR) + "/check_arrow_streams.mjs", dir.string()});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find(std::to_string(frames) + " passed, 0 failed"), std::string::npos) << result.out;
  std::filesystem::remove_all(dir);
}

}  // namespace
