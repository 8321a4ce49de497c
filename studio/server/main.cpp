// tessaline-studio: run a self-hosted backend and operator app on this
// computer until interrupted.
#include <CLI/CLI.hpp>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "kit/cli/command_line.hpp"
#include "studio/server/access_control.hpp"
#include "studio/server/studio_server.hpp"

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
                 "made up and printed when --host reaches beyond this computer and none is given). Every local "
                 "user sees it in the process list: prefer --token-file or the variable");
  std::string token_file;
  app.add_option("--token-file", token_file,
                 "read the access token from this file's first line (kept out of the process list; or set "
                 "TESSALINE_STUDIO_TOKEN)")
      ->check(CLI::ExistingFile);
  app.add_option("--allowed-host", options.allowed_hosts,
                 "a further name browsers reach this studio by, e.g. behind a reverse proxy (repeatable); "
                 "loopback names, IP addresses and this computer's name are always allowed, requests sent to "
                 "any other name are refused")
      ->take_all();
  std::vector<std::string> other_datasets;
  app.add_option("--datasets", other_datasets,
                 "also show the datasets under this folder in the viewer, read-only: any v3.0 dataset, e.g. "
                 "~/.cache/huggingface/lerobot where the robot framework keeps them (repeatable)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--data-dir", data_dir, "where staged frames and exported datasets go")->capture_default_str();
  app.add_option("--store", options.store,
                 "also publish every exported dataset to S3 object storage, as s3://BUCKET/PREFIX: each dataset "
                 "under PREFIX/<repository id>/ in the same layout, kept up to date after every export and "
                 "deletion (needs --s3-endpoint; credentials from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, "
                 "AWS_REGION)");
  app.add_option("--s3-endpoint", options.s3_endpoint, "the S3 endpoint's URL, e.g. http://ceph-gateway:7480");
  app.add_option("--db", options.database,
                 "keep the WebRTC signaling and the browsers' sign-ins in this PostgreSQL database "
                 "(postgresql://USER@HOST:PORT/DB), shared by every studio given the same one: a robot and its "
                 "operator's browser may then reach different studios; with --store as well, the studios also share "
                 "the export of ended sessions and the datasets (see --no-export, --export-only). Its password "
                 "comes from PGPASSWORD or PGPASSFILE (~/.pgpass), as for every PostgreSQL program: one written "
                 "into the address shows in the process list");
  std::string db_file;
  app.add_option("--db-file", db_file, "read the --db address (password and all) from this file's first line")
      ->check(CLI::ExistingFile);
  bool no_export = false;
  app.add_flag("--no-export", no_export,
               "with --store and --db: leave the encoding of ended sessions to other studios (those without this "
               "flag, or with --export-only); this one only hands the episodes over");
  app.add_option("--admin", options.admins,
                 "a user who, signed in from another computer, may run the fleet page (/velquin/fleet); repeat "
                 "for more. This computer's operator and the token's holder always may");
  app.add_flag("--export-only", options.export_only,
               "with --store and --db: serve no robots or browsers, only export the sessions other studios hand over");
  long lease_seconds = options.export_lease.count();
  app.add_option("--export-lease", lease_seconds,
                 "seconds an export job stays this studio's without word from it; after that another studio takes "
                 "the job over (it is renewed every third of this while the export runs)")
      ->capture_default_str()
      ->check(CLI::Range(3L, 3600L));
  std::string encode;
  app.add_option("--encode", encode,
                 "when episodes' videos are encoded: 'live' while they record, on the cores' spare time (the "
                 "dataset is ready seconds after End session; costs memory for pictures waiting, up to 96 MiB, "
                 "and idle CPU time), or 'after' at export, as one batch (the wait grows with the session). "
                 "Default: live, or after for a node of a fleet (with --store and --db), which is all it allows")
      ->check(CLI::IsMember({"live", "after"}));
  if (const auto status = kit::cli::parse(app, argc, argv)) return *status;
  if (!encode.empty()) options.encode_live = encode == "live";
  options.exports = !no_export;
  options.export_lease = std::chrono::seconds(lease_seconds);
  options.data_dir = data_dir;
  for (const auto& d : other_datasets) options.other_datasets.emplace_back(d);
  if (!token_file.empty()) {
    std::ifstream file(token_file);
    std::getline(file, options.token);
    while (!options.token.empty() && (options.token.back() == '\r' || options.token.back() == ' ')) options.token.pop_back();
    if (options.token.empty()) {
      std::fprintf(stderr, "tessaline-studio: %s holds no token on its first line\n", token_file.c_str());
      return 2;
    }
  }
  if (options.token.empty()) {
    if (const char* from_env = std::getenv("TESSALINE_STUDIO_TOKEN")) options.token = from_env;
  }
  if (!db_file.empty()) {
    std::ifstream file(db_file);
    std::getline(file, options.database);
    while (!options.database.empty() && (options.database.back() == '\r' || options.database.back() == ' ')) options.database.pop_back();
    if (options.database.empty()) {
      std::fprintf(stderr, "tessaline-studio: %s holds no database address on its first line\n", db_file.c_str());
      return 2;
    }
  } else if (const size_t at = options.database.find('@'); at != std::string::npos) {
    const size_t scheme = options.database.find("://");
    if (scheme != std::string::npos && options.database.find(':', scheme + 3) < at) {
      std::fprintf(stderr, "tessaline-studio: the --db address holds a password, which every user of this computer can read "
                           "in the process list: give it in PGPASSWORD or ~/.pgpass, or the address with --db-file\n");
    }
  }
  const bool made_up_token = !studio::loopback_host(options.host) && options.token.empty();
  if (made_up_token) options.token = studio::random_token();

  // Request bodies and frames of up to a few MiB pass through many worker
  // threads: with glibc's defaults each thread's arena keeps what it once
  // held, and a burst of large requests leaves the studio that much bigger
  // for good. Large blocks are mapped and unmapped instead, arenas few.
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
  mallopt(M_ARENA_MAX, 4);

  // Every parked HTTP connection is an open file: take what the system allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Signals are taken synchronously below, so block them before any thread starts.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // Until Ctrl+C or SIGTERM; the studio then stops as `what` says.
  const auto serve_until_stopped = [&stop_signals](const char* what) {
    std::printf("Press Ctrl+C to stop.\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop_signals, &signal);
    std::printf("stopping (%s)...\n", what);
    std::fflush(stdout);
  };
  try {
    studio::Studio server(options);
    if (options.export_only) {
      std::printf("tessaline-studio is exporting the sessions other studios hand over\n");
      std::printf("  store:         %s   (at %s)\n", options.store.c_str(), options.s3_endpoint.c_str());
      std::printf("  data:          %s   (working copies)\n", std::filesystem::absolute(server.data_dir()).c_str());
      serve_until_stopped("waiting for a running export");
      return 0;
    }
    // A wildcard address is no address to give out: name one others can use.
    const std::string host = studio::reachable_host(options.host);
    const std::string http = "http://" + host + ":" + std::to_string(server.http_port());
    const std::string flight = "grpc://" + host + ":" + std::to_string(server.flight_port());
    std::printf("tessaline-studio is running\n");
    std::printf("  operator app:  %s/velquin   (datasets: %s/velquin/datasets)\n", http.c_str(), http.c_str());
    std::printf("  HTTP API:      %s   (VELQUIN_HTTP_SERVER, STUDIO_URL)\n", http.c_str());
    std::printf("  Arrow Flight:  %s   (VELQUIN_GRPC_SERVER)\n", flight.c_str());
    std::printf("  data:          %s\n", std::filesystem::absolute(server.data_dir()).c_str());
    if (!options.store.empty()) std::printf("  datasets also: %s   (at %s)\n", options.store.c_str(), options.s3_endpoint.c_str());
    if (!studio::loopback_host(options.host)) {
      std::printf("  access token:  %s%s\n", made_up_token ? options.token.c_str() : "(the one given)",
                  made_up_token ? "   (shown once; robots: TESSALINE_STUDIO_TOKEN; browsers sign in with it)" : "");
    }
    serve_until_stopped("waiting for running exports");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessaline-studio: %s\n", e.what());
    return 1;
  }
  return 0;
}
