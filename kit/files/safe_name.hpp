#pragma once
#include <string>

namespace kit {

// A single path component for any text: letters, digits, '-', '_' and '.'
// stay (a leading '.' does not), everything else becomes %XX. Never empty,
// never "." or "..", never contains '/': a user or repository id cannot
// reach outside the directory it is placed in.
std::string safe_name(const std::string& text);

}  // namespace kit
