// Runs a fuzz target without libFuzzer: every file of the seed corpus, then a
// fixed number of deterministic mutations of each (bit flips, truncation,
// overwritten length fields). Lets the ordinary and sanitizer builds exercise
// the target in CI.
//   <target>_replay CORPUS_DIR [MUTATIONS_PER_SEED]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string mutate(std::string s, std::mt19937& rng) {
  if (s.empty()) return s;
  std::uniform_int_distribution<size_t> pos(0, s.size() - 1);
  switch (rng() % 4) {
    case 0:
      for (int i = 0, n = 1 + rng() % 8; i < n; ++i) s[pos(rng)] ^= static_cast<char>(1u << (rng() % 8));
      break;
    case 1: s.resize(pos(rng)); break;
    case 2: {
      const size_t at = pos(rng) & ~size_t{3};
      const uint32_t v = rng() % 3 == 0 ? 0xFFFFFFFFu : rng();
      for (int i = 0; i < 4 && at + i < s.size(); ++i) s[at + i] = static_cast<char>(v >> (8 * i));
      break;
    }
    default: s.insert(pos(rng), std::string(1 + rng() % 16, static_cast<char>(rng()))); break;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS_PER_SEED]\n", argv[0]);
    return 2;
  }
  const int mutations = argc > 2 ? std::atoi(argv[2]) : 2000;
  std::vector<std::string> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::mt19937 rng(12345);
  size_t runs = 0;
  for (const auto& seed : seeds) {
    run(seed);
    ++runs;
    std::string current = seed;
    for (int i = 0; i < mutations; ++i, ++runs) {
      current = (i % 4 == 0) ? mutate(seed, rng) : mutate(current, rng);
      run(current);
    }
  }
  std::printf("%zu inputs from %zu seeds ran without a crash\n", runs, seeds.size());
  return seeds.empty() ? 1 : 0;
}
