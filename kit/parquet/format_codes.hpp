#pragma once
// Parquet's enumerations (parquet.thrift), as the reader and writer use them.
#include <cstdint>

namespace kit::parquet::codes {

enum : int32_t { T_BOOLEAN = 0, T_INT32 = 1, T_INT64 = 2, T_INT96 = 3, T_FLOAT = 4, T_DOUBLE = 5, T_BYTE_ARRAY = 6 };
enum : int32_t { REQUIRED = 0, OPTIONAL = 1, REPEATED = 2 };
enum : int32_t { CONVERTED_UTF8 = 0, CONVERTED_LIST = 3 };
enum : int32_t {
  PLAIN = 0,
  PLAIN_DICTIONARY = 2,
  RLE = 3,
  DELTA_BINARY_PACKED = 5,
  DELTA_LENGTH_BYTE_ARRAY = 6,
  DELTA_BYTE_ARRAY = 7,
  RLE_DICTIONARY = 8,
  BYTE_STREAM_SPLIT = 9
};
enum : int32_t { DATA_PAGE = 0, DICTIONARY_PAGE = 2, DATA_PAGE_V2 = 3 };
enum : int32_t { UNCOMPRESSED = 0, SNAPPY = 1, GZIP = 2, ZSTD = 6 };

}  // namespace kit::parquet::codes
