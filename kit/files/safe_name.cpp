#include "kit/files/safe_name.hpp"

#include <cctype>

namespace kit {

std::string safe_name(const std::string& text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  if (text.empty()) return "%";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool keep = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  if (out.size() > 200) out = out.substr(0, 180) + "%" + std::to_string(std::hash<std::string>{}(text));
  return out;
}

}  // namespace kit
