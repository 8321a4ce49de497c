// Fuzz target: a Parquet file from anywhere — a dataset folder the studio
// lists, a copy synced from a bucket — read whole, as the viewer and
// `tessaline dataset` read them. A refusal is a ParquetError (or another
// runtime_error naming the fault); an allocation the file cannot back
// (std::bad_alloc, std::length_error) is a finding, as is any crash.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kit/parquet/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const kit::parquet::Reader reader(std::string(reinterpret_cast<const char*>(data), size));
    for (size_t g = 0; g < reader.row_groups(); ++g) {
      for (size_t c = 0; c < reader.schema().size(); ++c) {
        try {
          const auto values = reader.column(g, c);
          (void)values.rows();
        } catch (const std::runtime_error&) {
        }
      }
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
