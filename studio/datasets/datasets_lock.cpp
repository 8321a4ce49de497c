#include "studio/datasets/datasets_lock.hpp"

#include "studio/datasets/dataset_change.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace studio {

DatasetsLock::DatasetsLock(const std::filesystem::path& dataset, const std::function<void()>& on_wait) {
  // "DIR/", "DIR/." and a relative "." name the folder DIR is in, as "DIR" does.
  std::filesystem::path named = std::filesystem::absolute(dataset).lexically_normal();
  if (!named.has_filename()) named = named.parent_path();
  const std::filesystem::path folder = named.parent_path();
  std::filesystem::create_directories(folder);
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + folder.string() + ": " + std::strerror(errno));
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK && on_wait) on_wait();
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int error = errno;
        ::close(fd_);
        throw std::runtime_error("cannot lock " + folder.string() + ": " + std::strerror(error));
      }
    }
  }
  try {
    finish_cut_off_change(named);  // another program killed mid-change: its change is finished or dropped first
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

DatasetsLock::~DatasetsLock() { ::close(fd_); }  // closing releases the lock

}  // namespace studio
