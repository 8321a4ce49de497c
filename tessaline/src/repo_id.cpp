#include "repo_id.hpp"

#include <algorithm>

namespace tessaline {
namespace {

bool word_char(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

std::string shown(char c) {
  if (c == ' ') return "a space";
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "a control character";
  if (static_cast<unsigned char>(c) >= 0x80) return "a character outside ASCII";
  return std::string("'") + c + "'";
}

}  // namespace

std::optional<std::string> repo_id_problem(const std::string& id) {
  constexpr size_t kLongest = 96;
  const std::string rule = ": use NAME or ORG/NAME, of letters, digits, '-', '_' and '.'";
  if (id.empty()) return "is empty" + rule;
  if (id.size() > kLongest) return "is longer than " + std::to_string(kLongest) + " characters";
  if (std::count(id.begin(), id.end(), '/') > 1) return "has more than one '/'" + rule;
  for (const char c : id) {
    if (!word_char(c) && c != '-' && c != '.' && c != '/') return "has " + shown(c) + rule;
  }
  if (id.find("--") != std::string::npos || id.find("..") != std::string::npos) return "has \"--\" or \"..\", which are not allowed";
  if (id.ends_with(".git")) return "ends in \".git\", which is not allowed";
  const size_t slash = id.find('/');
  for (const std::string& part : {id.substr(0, slash), slash == std::string::npos ? std::string("x") : id.substr(slash + 1)}) {
    if (part.empty()) return "has an empty part" + rule;
    if (!word_char(part.front()) || !word_char(part.back())) {
      return "has a part beginning or ending with '-' or '.': each part begins and ends with a letter, a digit or '_'";
    }
  }
  return std::nullopt;
}

}  // namespace tessaline
