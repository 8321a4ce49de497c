#include "kit/files/atomic_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kit::files {
namespace {

std::runtime_error os_error(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

void write_atomically(const std::filesystem::path& path, std::string_view bytes) {
  // A temporary file of our own (created exclusively, so nothing planted at
  // its name is followed or overwritten), flushed to disk, then renamed
  // over the target: readers see the old file or the new one, whole.
  std::string tmp = (path.parent_path() / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) throw os_error("cannot create a temporary file beside " + path.string());
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const auto error = os_error("cannot write " + path.string());
      ::close(fd);
      ::unlink(tmp.c_str());
      throw error;
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::fchmod(fd, 0644) != 0) {
    const auto error = os_error("cannot write " + path.string());
    ::close(fd);
    ::unlink(tmp.c_str());
    throw error;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const auto error = os_error("cannot replace " + path.string());
    ::unlink(tmp.c_str());
    throw error;
  }
}

FileLock::FileLock(const std::filesystem::path& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) throw os_error("cannot open the lock file " + path.string());
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const auto error = os_error("cannot lock " + path.string());
      ::close(fd_);
      throw error;
    }
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace kit::files
