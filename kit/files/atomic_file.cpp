#include "kit/files/atomic_file.hpp"

#include <fstream>
#include <stdexcept>

namespace kit::files {

void write_atomically(const std::filesystem::path& path, std::string_view bytes) {
  const std::filesystem::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + tmp.string());
  }
  std::filesystem::rename(tmp, path);
}

}  // namespace kit::files
