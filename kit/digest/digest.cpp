#include "kit/digest/digest.hpp"

#include <openssl/evp.h>
#include <sys/random.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace kit {
namespace {

std::string hex_of(const unsigned char* bytes, size_t size) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 15];
  }
  return out;
}

std::string hex_digest(std::string_view bytes, const EVP_MD* kind) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, kind, nullptr);
  return hex_of(digest, size);
}

}  // namespace

std::string sha256_hex(std::string_view bytes) { return hex_digest(bytes, EVP_sha256()); }
std::string md5_hex(std::string_view bytes) { return hex_digest(bytes, EVP_md5()); }

std::string md5_file_hex(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
  std::vector<char> block(1 << 20);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(in.gcount()));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context.get(), digest, &size);
  return hex_of(digest, size);
}

std::string random_hex(size_t bytes) {
  std::vector<unsigned char> random(bytes);
  if (getrandom(random.data(), bytes, 0) != static_cast<ssize_t>(bytes)) throw std::runtime_error("no random bytes from the kernel");
  return hex_of(random.data(), bytes);
}

}  // namespace kit
