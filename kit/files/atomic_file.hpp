#pragma once
#include <filesystem>
#include <string_view>

namespace kit::files {

// Writes `bytes` to a temporary file of its own beside `path`, flushes it to
// disk and renames it over `path`: readers and a crash mid-write see the old
// file or the new one, never half of one, and concurrent writers never share
// a temporary file. Throws std::runtime_error with the OS's reason.
void write_atomically(const std::filesystem::path& path, std::string_view bytes);

// An advisory exclusive lock on `path` (created if missing) while it lives,
// so read-modify-write of a file by several programs happens one at a time.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace kit::files
