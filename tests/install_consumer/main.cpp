// Uses the five names of the library surface through the one public header.
#include <tessaline/tessaline.hpp>

#include <cstdio>
#include <fstream>
#include <string>

static int threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

int main() {
  // Loading the library started nothing.
  if (threads() != 1) {
    std::printf("unexpected threads at start: %d\n", threads());
    return 1;
  }
  std::printf("flight server setting: %s\n", tessaline::config::VELQUIN_GRPC_SERVER.c_str());
  std::string (*sign_in)(const std::string&, int) = &tessaline::authenticate_with_browser;
  tessaline::WebRTCStreamer streamer("http://127.0.0.1:9", nullptr, "consumer");
  tessaline::VelquinSession* no_session = nullptr;
  {
    tessaline::VelquinGrpcClient client("127.0.0.1:9", "consumer");
    auto record = std::make_shared<tessaline::Record>();
    record->set("state", tessaline::NdArray::from_vector(tessaline::DType::float32, std::vector<float>{1.0f}));
    client.log_robot_data(record, tessaline::Value(tessaline::List{0.5}));
    client.shutdown();
    std::printf("frames sent %zu, failed %zu\n", client.frames_sent(), client.frames_failed());
  }
  std::printf("user %s, sign-in at %p, session type of %zu bytes%s\n", streamer.user_id.c_str(),
              reinterpret_cast<void*>(sign_in), sizeof(tessaline::VelquinSession), no_session ? "" : "");
  std::printf("consumer ok\n");
  return 0;
}
