// Logs synthetic camera frames to an Arrow Flight server the way a capture
// does, ends the episode, and says how many frames were put and how fast.
//   log_frames --location grpc://127.0.0.1:50051 --http http://127.0.0.1:8080
//              --frames 100 --cameras 2 --width 640 --height 480 --user-id me
#include <tessaline/tessaline.hpp>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// A moving diagonal pattern, different per camera, so frames differ.
tessaline::NdArray pattern(size_t width, size_t height, int camera, int frame) {
  tessaline::NdArray img(tessaline::DType::uint8, {height, width, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint8_t* px = p + (y * width + x) * 3;
      px[0] = static_cast<uint8_t>(x + frame * 4);
      px[1] = static_cast<uint8_t>(y + camera * 80);
      px[2] = static_cast<uint8_t>((x + y + frame) / 2);
    }
  }
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Log synthetic frames over Arrow Flight and end the episode.", "log_frames"};
  std::string location, http, user_id = "default";
  int frames = 30, cameras = 2, fps = 30;
  size_t width = 640, height = 480;
  app.add_option("--location", location, "Flight server, grpc://HOST:PORT (default: VELQUIN_GRPC_SERVER)");
  app.add_option("--http", http, "backend HTTP base for the episode end, http://HOST:PORT (optional)");
  app.add_option("--frames", frames, "frames to log")->check(CLI::Range(1, 10000000));
  app.add_option("--cameras", cameras, "cameras per frame")->check(CLI::Range(0, 16));
  app.add_option("--width", width, "image width")->check(CLI::Range(1, 8192));
  app.add_option("--height", height, "image height")->check(CLI::Range(1, 8192));
  app.add_option("--fps", fps, "frame rate sent with the episode end")->check(CLI::Range(1, 1000));
  app.add_option("--user-id", user_id, "user the frames belong to");
  CLI11_PARSE(app, argc, argv);

  tessaline::VelquinGrpcClient client(location, user_id);
  client.repo_id = "examples/log_frames";
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i) {
    auto record = std::make_shared<tessaline::Record>();
    for (int c = 0; c < cameras; ++c) {
      record->set("observation.images.cam_" + std::to_string(c), pattern(width, height, c, i));
    }
    record->set("state", tessaline::NdArray::from_vector(tessaline::DType::float32,
                                                         std::vector<float>{0.1f * i, 1.0f, -1.0f}));
    record->set("timestamp", static_cast<double>(i) / fps);
    const bool last = i == frames - 1;
    client.log_robot_data(record, tessaline::Value(tessaline::List{0.1 * i, 1.0, -1.0}), last,
                          static_cast<double>(fps), std::string("so101_follower"));
  }
  client.shutdown();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("put %zu of %d frames (%d cameras, %zux%zu) in %.2f s, %.1f frames/s\n", client.frames_sent(), frames,
              cameras, width, height, seconds, client.frames_sent() / seconds);
  bool ended = true;
  if (!http.empty()) ended = client.end_episode(http);
  client.close();
  return client.frames_sent() == static_cast<size_t>(frames) && ended ? 0 : 1;
}
