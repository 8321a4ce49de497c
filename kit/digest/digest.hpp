#pragma once
// Digests of bytes as lower-case hex (OpenSSL), and secrets from the kernel's random source.
#include <filesystem>
#include <string>
#include <string_view>

namespace kit {

std::string sha256_hex(std::string_view bytes);
std::string md5_hex(std::string_view bytes);  // what S3 gives as the ETag of an object put in one request
// The same of a file's bytes, read in blocks; throws when it cannot be read.
std::string md5_file_hex(const std::filesystem::path& file);
// `bytes` random bytes as 2 * `bytes` hex digits; throws when the kernel gives none.
std::string random_hex(size_t bytes);

}  // namespace kit
