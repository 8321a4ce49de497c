#include "kit/digest/digest.hpp"

#include <openssl/evp.h>

namespace kit {
namespace {

std::string hex_digest(std::string_view bytes, const EVP_MD* kind) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, kind, nullptr);
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string sha256_hex(std::string_view bytes) { return hex_digest(bytes, EVP_sha256()); }
std::string md5_hex(std::string_view bytes) { return hex_digest(bytes, EVP_md5()); }

}  // namespace kit
