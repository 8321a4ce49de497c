// Publishing to S3 object storage: a dataset-sized set of files (video
// files of 64 MiB and small tables) uploaded to a Ceph gateway with the
// studio's S3 client, against copying the same files on the local disk in
// the same run; and the upload rate in MB/s, from which docs/fleet.md sizes
// how many stations' exports one node can publish.
//   store_publish S3_ENV_FILE [MIB]      (S3_ENV_FILE: as tests/storage/ceph_cluster.sh writes it)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "bench/report.hpp"
#include "kit/s3/client.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: store_publish S3_ENV_FILE [MIB]\n");
    return 2;
  }
  std::map<std::string, std::string> env;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const long mib = argc > 2 ? std::atol(argv[2]) : 256;
  const fs::path dir = fs::temp_directory_path() / ("store-publish-" + std::to_string(getpid()));
  fs::create_directories(dir / "files");
  fs::create_directories(dir / "copy");

  // Video-like bytes (incompressible) in 64 MiB files, and a few small tables.
  std::mt19937_64 random(11);
  std::string block(1 << 20, '\0');
  long written = 0;
  for (int file = 0; written < mib; ++file) {
    std::ofstream out(dir / "files" / ("file-" + std::to_string(file) + ".mp4"), std::ios::binary);
    for (int m = 0; m < 64 && written < mib; ++m, ++written) {
      for (size_t i = 0; i < block.size(); i += 8) *reinterpret_cast<uint64_t*>(&block[i]) = random();
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  for (int t = 0; t < 8; ++t) std::ofstream(dir / "files" / ("table-" + std::to_string(t) + ".parquet")) << std::string(40000, 't');

  kit::s3::Client s3({.url = env.at("S3_ENDPOINT"), .region = env.at("AWS_REGION"), .access_key = env.at("AWS_ACCESS_KEY_ID"),
                      .secret_key = env.at("AWS_SECRET_ACCESS_KEY")});
  const std::string bucket = "bench-publish-" + std::to_string(getpid());
  s3.create_bucket(bucket);

  auto seconds = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
  double upload_s = 0, copy_s = 0;
  for (int round = 0; round < 2; ++round) {
    auto t = Clock::now();
    for (const auto& f : fs::directory_iterator(dir / "files")) {
      s3.upload_file(bucket, "datasets/lab/bench/" + f.path().filename().string(), f.path());
    }
    upload_s += seconds(t);
    t = Clock::now();
    for (const auto& f : fs::directory_iterator(dir / "files")) {
      fs::copy_file(f.path(), dir / "copy" / f.path().filename(), fs::copy_options::overwrite_existing);
    }
    // Copied bytes on disk, as uploaded ones are in the store.
    ::sync();
    copy_s += seconds(t);
  }
  for (const auto& object : s3.list(bucket, "")) s3.remove(bucket, object.key);
  fs::remove_all(dir);

  const double upload_mbs = 2.0 * mib * 1.048576 / upload_s, copy_mbs = 2.0 * mib * 1.048576 / copy_s;
  std::printf("%ld MiB in %ld files of up to 64 MiB, twice: upload to the S3 gateway %.0f MB/s, local copy %.0f MB/s\n", mib,
              (mib + 63) / 64 + 8, upload_mbs, copy_mbs);
  bench::report("publish to S3 vs local copy (same bytes)", bench::format("%.2f", upload_mbs / copy_mbs), "> 0.10",
                upload_mbs / copy_mbs > 0.1);
  bench::report("publish to S3 (MB/s)", bench::format("%.0f", upload_mbs), "> 50", upload_mbs > 50);
  return 0;
}
