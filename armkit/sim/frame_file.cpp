#include "armkit/sim/frame_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace armkit {
namespace {

constexpr char kMagic[8] = {'T', 'L', 'C', 'A', 'M', '1', 0, 0};
constexpr size_t kHeader = 64;  // magic, width, height, sequence; pixels after

std::atomic_ref<uint64_t> sequence_of(uint8_t* map) { return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map + 16)); }

}  // namespace

FrameFileWriter::FrameFileWriter(std::string path, int width, int height)
    : path_(std::move(path)), width_(width), height_(height), size_(kHeader + static_cast<size_t>(width) * height * 3) {
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size_)) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot create the frame file " + path_);
  }
  void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (m == MAP_FAILED) throw std::runtime_error("cannot map the frame file " + path_);
  map_ = static_cast<uint8_t*>(m);
  std::memcpy(map_, kMagic, 8);
  std::memcpy(map_ + 8, &width_, 4);
  std::memcpy(map_ + 12, &height_, 4);
}

FrameFileWriter::~FrameFileWriter() {
  if (map_) munmap(map_, size_);
  ::unlink(path_.c_str());
}

void FrameFileWriter::write(const kit::NdArray& rgb) {
  if (rgb.nbytes() != size_ - kHeader) throw std::invalid_argument("frame does not match the camera's size");
  auto seq = sequence_of(map_);
  seq.fetch_add(1, std::memory_order_acq_rel);  // odd: writing
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(map_ + kHeader, rgb.data(), rgb.nbytes());
  std::atomic_thread_fence(std::memory_order_release);
  seq.fetch_add(1, std::memory_order_acq_rel);  // even: complete
}

FrameFileReader::FrameFileReader(std::string path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("no virtual camera at " + path);
  uint8_t header[kHeader];
  if (::pread(fd, header, kHeader, 0) != static_cast<ssize_t>(kHeader) || std::memcmp(header, kMagic, 8) != 0) {
    ::close(fd);
    throw std::runtime_error(path + " is not a virtual camera");
  }
  std::memcpy(&width_, header + 8, 4);
  std::memcpy(&height_, header + 12, 4);
  if (width_ <= 0 || height_ <= 0 || width_ > 8192 || height_ > 8192) {
    ::close(fd);
    throw std::runtime_error(path + " has an impossible frame size");
  }
  size_ = kHeader + static_cast<size_t>(width_) * height_ * 3;
  void* m = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (m == MAP_FAILED) throw std::runtime_error("cannot map " + path);
  map_ = static_cast<const uint8_t*>(m);
}

FrameFileReader::~FrameFileReader() {
  if (map_) munmap(const_cast<uint8_t*>(map_), size_);
}

bool FrameFileReader::read_if_new(kit::NdArray& out, uint64_t& seen) const {
  auto seq = sequence_of(const_cast<uint8_t*>(map_));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint64_t before = seq.load(std::memory_order_acquire);
    if (before & 1) continue;  // a frame is being written
    if (before == seen) return false;
    kit::NdArray frame(kit::DType::uint8, {static_cast<size_t>(height_), static_cast<size_t>(width_), 3});
    std::memcpy(frame.mutable_data(), map_ + kHeader, frame.nbytes());
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_acquire) == before) {
      out = std::move(frame);
      seen = before;
      return true;
    }
  }
  return false;
}

}  // namespace armkit
