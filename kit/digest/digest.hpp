#pragma once
// Digests of bytes as lower-case hex (OpenSSL).
#include <string>
#include <string_view>

namespace kit {

std::string sha256_hex(std::string_view bytes);
std::string md5_hex(std::string_view bytes);  // what S3 gives as the ETag of an object put in one request

}  // namespace kit
