#pragma once
// An episode's frames on disk as one append-only Arrow IPC stream: the
// schema once, then one record batch message per frame, each written with a
// single write() before the put is acknowledged. A crash can leave at most a
// torn last message, which readers skip: it was never acknowledged. Files
// carry no end-of-stream marker while open; readers do not need one.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kit/flight/array.hpp"

namespace studio {

class StagedStreamWriter {
 public:
  // Creates `path` (it must not exist) and writes the schema message.
  StagedStreamWriter(std::filesystem::path path, const kit::flight::Schema& schema);
  ~StagedStreamWriter();
  StagedStreamWriter(const StagedStreamWriter&) = delete;
  StagedStreamWriter& operator=(const StagedStreamWriter&) = delete;

  // Appends one batch framed by ipc::FramedBatch; on failure (a full
  // disk) the file is cut back to where it was and std::runtime_error
  // carries the OS's reason.
  void append(const std::string& framed_batch);

  const std::string& framed_schema() const { return framed_schema_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  void write_all(const std::string& bytes);

  std::filesystem::path path_;
  std::string framed_schema_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Where each frame of a staged stream lies, read from the message headers
// alone (the pictures stay on disk until asked for).
class StagedStreamReader {
 public:
  explicit StagedStreamReader(std::filesystem::path path);
  ~StagedStreamReader();
  StagedStreamReader(const StagedStreamReader&) = delete;
  StagedStreamReader& operator=(const StagedStreamReader&) = delete;

  size_t size() const { return batches_.size(); }
  bool torn_tail() const { return torn_tail_; }  // a last message cut short by a crash
  std::shared_ptr<kit::flight::RecordBatch> batch(size_t i) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  struct Span {
    uint64_t metadata_offset;
    uint32_t metadata_size;
    uint64_t body_size;
  };
  std::string read_at(uint64_t offset, uint64_t size) const;

  std::filesystem::path path_;
  int fd_ = -1;
  std::shared_ptr<const kit::flight::Schema> schema_;
  std::vector<Span> batches_;
  bool torn_tail_ = false;
};

// The staged stream files of one episode directory, in the order written.
std::vector<std::filesystem::path> staged_stream_files(const std::filesystem::path& dir);
// Frames in them (a torn last message not counted).
size_t count_staged_frames(const std::filesystem::path& dir);

}  // namespace studio
