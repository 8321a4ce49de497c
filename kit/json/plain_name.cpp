#include "kit/json/plain_name.hpp"

#include <cstdint>
#include <optional>

namespace kit::json {
namespace {

// The code point starting at `i` (advanced past it); none for malformed UTF-8.
std::optional<uint32_t> next_code_point(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i++]);
  if (c < 0x80) return c;
  size_t n;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 1, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 2, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 3, cp = c & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + n > s.size()) return std::nullopt;
  for (size_t k = 0; k < n; ++k) {
    const auto cc = static_cast<unsigned char>(s[i++]);
    if ((cc & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (cc & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;  // overlong, beyond, surrogate
  return cp;
}

bool shown_as_is(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;                 // controls
  if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return false;             // bidi marks
  if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) return false;  // bidi embeddings, overrides, isolates
  if ((cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || cp == 0xFEFF) return false;    // zero-width
  if (cp == 0x2028 || cp == 0x2029) return false;                             // line and paragraph separators
  return true;
}

}  // namespace

bool plain_name(std::string_view text, size_t max_bytes) {
  if (text.empty() || text.size() > max_bytes) return false;
  for (size_t i = 0; i < text.size();) {
    const auto cp = next_code_point(text, i);
    if (!cp || !shown_as_is(*cp)) return false;
  }
  return true;
}

}  // namespace kit::json
