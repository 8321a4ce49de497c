#include "frame_spool.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string_view>

#include "kit/flight/ipc.hpp"

namespace tessaline {
namespace fs = std::filesystem;
namespace fl = kit::flight;

namespace {

constexpr uintmax_t kKeepFree = uintmax_t{1} << 30;

constexpr std::string_view kPrefix = "tessaline-frames-";

std::string folder_name() {
  std::random_device random;
  return std::string(kPrefix) + std::to_string(getpid()) + "-" + std::to_string(random() % 1000000);
}

// Spools of programs that were killed: their frames went with them.
void remove_orphans(const fs::path& parent) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(parent, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(kPrefix)) continue;
    const long pid = std::strtol(name.c_str() + kPrefix.size(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), error);
  }
}

}  // namespace

fs::path spool_parent() {
  const char* chosen = std::getenv("TESSALINE_SPOOL_DIR");
  return chosen && *chosen ? fs::path(chosen) : fs::temp_directory_path();
}

FrameSpool::FrameSpool(fs::path parent) : folder_(std::move(parent) / folder_name()) {}

FrameSpool::~FrameSpool() {
  std::error_code ignored;
  if (made_) fs::remove_all(folder_, ignored);
}

std::optional<fs::path> FrameSpool::put(const std::shared_ptr<fl::RecordBatch>& frame, std::string& why) {
  std::error_code error;
  if (!made_) {
    remove_orphans(folder_.parent_path());
    fs::create_directories(folder_, error);
    if (error) {
      why = "cannot make " + folder_.string() + ": " + error.message();
      return std::nullopt;
    }
    made_ = true;
  }
  const std::string bytes = fl::ipc::WriteStream(frame->schema(), {frame});
  const auto space = fs::space(folder_, error);
  if (error || space.available < kKeepFree + bytes.size()) {
    why = "the disk of " + folder_.string() + " is nearly full";
    return std::nullopt;
  }
  const fs::path file = folder_ / (std::to_string(next_++) + ".arrows");
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    fs::remove(file, error);
    why = "cannot write " + file.string();
    return std::nullopt;
  }
  return file;
}

std::shared_ptr<fl::RecordBatch> FrameSpool::read(const fs::path& file) const {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + file.string());
  auto contents = fl::ipc::ReadStream(bytes);
  if (contents.batches.size() != 1) throw std::runtime_error(file.string() + " holds no frame");
  return contents.batches.front();
}

void FrameSpool::remove(const fs::path& file) {
  std::error_code ignored;
  fs::remove(file, ignored);
}

}  // namespace tessaline
