#pragma once
// Where a dataset's numbered files go: <kind>/chunk-CCC/file-FFF<ext>,
// at most 1000 files in a chunk; and when a file has had enough.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "kit/parquet/writer.hpp"

namespace studio {

constexpr long kFilesPerChunk = 1000;
// Pages of a dataset's tables, as the field's own writers store them.
constexpr auto kTableCompression = kit::parquet::Compression::snappy;

struct FileSlot {
  long chunk = 0, file = 0;

  FileSlot next() const { return file + 1 >= kFilesPerChunk ? FileSlot{chunk + 1, 0} : FileSlot{chunk, file + 1}; }
  std::string path(const std::string& kind, const char* extension) const;
};

// The slot after the last file under `dir` (chunk-000/file-000 when none).
FileSlot first_free_slot(const std::filesystem::path& dir);

// The files of one kind under `dir` in chunk and file order: a table's
// Parquet files (DATASET/data, DATASET/meta/episodes) or a camera's videos.
std::vector<std::filesystem::path> table_files(const std::filesystem::path& dir,
                                               std::string_view extension = ".parquet");

// Whether a file holding `held` bytes should be closed rather than take an
// episode of `next` bytes more. A file always takes its first episode, so
// an episode never spans two files.
inline bool file_full(int64_t held, int64_t next, int64_t limit) { return held > 0 && held + next >= limit; }

inline int64_t megabytes(int64_t mb) { return mb * 1024 * 1024; }

}  // namespace studio
