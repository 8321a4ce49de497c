#include "frame_spool.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "kit/flight/ipc.hpp"

namespace tessaline {
namespace fs = std::filesystem;
namespace fl = kit::flight;

namespace {

constexpr uintmax_t kKeepFree = uintmax_t{1} << 30;

std::string folder_name() {
  std::random_device random;
  return "tessaline-frames-" + std::to_string(getpid()) + "-" + std::to_string(random() % 1000000);
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
