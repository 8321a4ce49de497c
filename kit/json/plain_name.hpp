#pragma once
// Names people are shown (user names, ids in logs and pages): whether a
// text can be shown as it is, without changing what is around it.
#include <cstddef>
#include <string_view>

namespace kit::json {

// Valid UTF-8 of 1 to `max_bytes` bytes with no control characters (C0, DEL,
// C1) and none of the characters that reorder or hide text: bidirectional
// controls and marks, zero-width characters, line and paragraph separators.
bool plain_name(std::string_view text, size_t max_bytes = 100);

}  // namespace kit::json
