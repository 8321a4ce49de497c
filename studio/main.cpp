// tessaline-studio: run a self-hosted backend and operator app on this
// computer until interrupted.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "kit/cli/command_line.hpp"
#include "studio/access_control.hpp"
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
  app.add_option("--data-file-mb", options.data_file_mb,
                 "new datasets: a data file takes no more episodes past this size (MiB)")
      ->capture_default_str()
      ->check(CLI::Range(1L, 1L << 20));
  app.add_option("--video-file-mb", options.video_file_mb,
                 "new datasets: a camera's video file takes no more episodes past this size (MiB)")
      ->capture_default_str()
      ->check(CLI::Range(1L, 1L << 20));
  app.add_option("--token", options.token,
                 "access token callers from other computers must show (default: TESSALINE_STUDIO_TOKEN; one is "
                 "made up and printed when --host reaches beyond this computer and none is given)");
  app.add_option("--data-dir", data_dir, "where staged frames and exported datasets go")->capture_default_str();
  if (const auto status = kit::cli::parse(app, argc, argv)) return *status;
  options.data_dir = data_dir;
  if (options.token.empty()) {
    if (const char* from_env = std::getenv("TESSALINE_STUDIO_TOKEN")) options.token = from_env;
  }
  const bool made_up_token = !studio::loopback_host(options.host) && options.token.empty();
  if (made_up_token) options.token = studio::random_token();

  // Signals are taken synchronously below, so block them before any thread starts.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    studio::Studio server(options);
    // A wildcard address is no address to give out: name one others can use.
    const std::string host = studio::reachable_host(options.host);
    const std::string http = "http://" + host + ":" + std::to_string(server.http_port());
    const std::string flight = "grpc://" + host + ":" + std::to_string(server.flight_port());
    std::printf("tessaline-studio is running\n");
    std::printf("  operator app:  %s/velquin   (datasets: %s/velquin/datasets)\n", http.c_str(), http.c_str());
    std::printf("  HTTP API:      %s   (VELQUIN_HTTP_SERVER, STUDIO_URL)\n", http.c_str());
    std::printf("  Arrow Flight:  %s   (VELQUIN_GRPC_SERVER)\n", flight.c_str());
    std::printf("  data:          %s\n", std::filesystem::absolute(server.data_dir()).c_str());
    if (!studio::loopback_host(options.host)) {
      std::printf("  access token:  %s%s\n", made_up_token ? options.token.c_str() : "(the one given)",
                  made_up_token ? "   (shown once; robots: TESSALINE_STUDIO_TOKEN; browsers sign in with it)" : "");
    }
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
