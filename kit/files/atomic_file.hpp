#pragma once
#include <filesystem>
#include <string_view>

namespace kit::files {

// Writes `bytes` to a temporary file beside `path` and renames it over
// `path`: readers and a crash mid-write see the old file or the new one,
// never half of one. Throws std::runtime_error when the write fails.
void write_atomically(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kit::files
