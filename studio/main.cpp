// tessaline-studio: run a self-hosted backend and operator app on this
// computer until interrupted.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>

#include "kit/cli/command_line.hpp"
#include "studio/studio_server.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Self-hosted Tessaline backend: signaling relay, episode and export API, Arrow Flight frame "
               "receiver, sign-in page and operator web app.",
               "tessaline-studio"};
  studio::StudioOptions options;
  std::string data_dir = "studio-data";
  app.add_option("--host", options.host, "address to listen on")->capture_default_str();
  app.add_option("--http-port", options.http_port, "HTTP port (API, sign-in, operator app); 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--flight-port", options.flight_port, "Arrow Flight port for frames; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--video-codec", options.video_codec,
                 "codec of new datasets' videos: av1 (smaller files) or h264 (plays in every browser); a dataset "
                 "keeps the codec it was started with")
      ->capture_default_str()
      ->check(CLI::IsMember({"av1", "h264"}));
  app.add_option("--data-dir", data_dir, "where staged frames and exported datasets go")->capture_default_str();
  if (const auto status = kit::cli::parse(app, argc, argv)) return *status;
  options.data_dir = data_dir;

  // Signals are taken synchronously below, so block them before any thread starts.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    studio::Studio server(options);
    std::printf("tessaline-studio is running\n");
    std::printf("  operator app:  %s/velquin\n", server.http_url().c_str());
    std::printf("  HTTP API:      %s   (VELQUIN_HTTP_SERVER, STUDIO_URL)\n", server.http_url().c_str());
    std::printf("  Arrow Flight:  %s   (VELQUIN_GRPC_SERVER)\n", server.flight_url().c_str());
    std::printf("  data:          %s\n", std::filesystem::absolute(server.data_dir()).c_str());
    std::printf("Press Ctrl+C to stop.\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop_signals, &signal);
    std::printf("stopping (waiting for running exports)...\n");
    std::fflush(stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessaline-studio: %s\n", e.what());
    return 1;
  }
  return 0;
}
