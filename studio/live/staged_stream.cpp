#include "studio/live/staged_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <cstring>
#include <stdexcept>

#include "kit/flight/ipc.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace ipc = kit::flight::ipc;

namespace {

// Says the OS's reason, and keeps its number (a full disk is told apart).
std::system_error os_error(const std::string& what, const fs::path& path) {
  return std::system_error(errno, std::generic_category(), "cannot " + what + " " + path.string());
}

}  // namespace

StagedStreamWriter::StagedStreamWriter(fs::path path, const kit::flight::Schema& schema)
    : path_(std::move(path)), framed_schema_(ipc::FramedSchema(schema)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) throw os_error("create", path_);
  try {
    write_all(framed_schema_);
  } catch (...) {
    ::close(fd_);
    fs::remove(path_);
    throw;
  }
}

StagedStreamWriter::~StagedStreamWriter() { ::close(fd_); }

void StagedStreamWriter::append(const std::string& framed_batch) { write_all(framed_batch); }

void StagedStreamWriter::write_all(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int reason = n < 0 ? errno : ENOSPC;
      // A part of a message must not stay: the next one would follow it.
      if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) { /* the reader skips a torn tail anyway */ }
      errno = reason;
      throw os_error("write to", path_);
    }
    done += static_cast<size_t>(n);
  }
  size_ += bytes.size();
}

StagedStreamReader::StagedStreamReader(fs::path path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw os_error("open", path_);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    ::close(fd_);
    throw os_error("read", path_);
  }
  const auto file_size = static_cast<uint64_t>(st.st_size);
  try {
    uint64_t pos = 0;
    while (pos < file_size) {
      if (file_size - pos < 8) {
        torn_tail_ = true;
        break;
      }
      const std::string prefix = read_at(pos, 8);
      int32_t words[2];
      std::memcpy(words, prefix.data(), 8);
      uint64_t header = 8;
      int32_t length = words[1];
      if (words[0] != -1) {  // framing without the continuation marker
        length = words[0];
        header = 4;
      }
      if (length == 0) break;  // end-of-stream marker
      if (length < 0) throw kit::flight::ArrowError("bad message length");
      if (static_cast<uint64_t>(length) > file_size - pos - header) {
        torn_tail_ = true;
        break;
      }
      const std::string metadata = read_at(pos + header, static_cast<uint64_t>(length));
      const int64_t body = ipc::ReadBodyLength(metadata);
      if (body < 0) throw kit::flight::ArrowError("bad body length");
      const uint64_t end = pos + header + static_cast<uint64_t>(length) + static_cast<uint64_t>(body);
      if (end > file_size) {
        torn_tail_ = true;
        break;
      }
      if (ipc::ReadMessageType(metadata) == ipc::MessageType::SCHEMA) {
        if (schema_) throw kit::flight::ArrowError("second schema in one stream");
        schema_ = ipc::ReadSchema(metadata);
      } else {
        if (!schema_) throw kit::flight::ArrowError("record batch before the schema");
        batches_.push_back({pos + header, static_cast<uint32_t>(length), static_cast<uint64_t>(body)});
      }
      pos = end;
    }
    if (!schema_ && !batches_.empty()) throw kit::flight::ArrowError("stream without a schema");
  } catch (const std::exception& e) {
    ::close(fd_);
    throw std::runtime_error(path_.string() + ": " + e.what());
  }
}

StagedStreamReader::~StagedStreamReader() { ::close(fd_); }

std::string StagedStreamReader::read_at(uint64_t offset, uint64_t size) const {
  std::string out(size, '\0');
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw os_error("read", path_);
    if (n == 0) throw std::runtime_error(path_.string() + ": shorter than its messages say");
    done += static_cast<uint64_t>(n);
  }
  return out;
}

std::shared_ptr<kit::flight::RecordBatch> StagedStreamReader::batch(size_t i) const {
  const Span& s = batches_.at(i);
  const std::string bytes = read_at(s.metadata_offset, s.metadata_size + s.body_size);
  const std::string_view view(bytes);
  return ipc::ReadRecordBatch(view.substr(0, s.metadata_size), view.substr(s.metadata_size), schema_);
}

std::vector<fs::path> staged_stream_files(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::exists(dir)) return files;
  for (const auto& f : fs::directory_iterator(dir)) {
    if (f.is_regular_file() && f.path().extension() == ".arrows") files.push_back(f.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

size_t count_staged_frames(const fs::path& dir) {
  size_t n = 0;
  for (const auto& f : staged_stream_files(dir)) n += StagedStreamReader(f).size();
  return n;
}

}  // namespace studio
