#pragma once
// The exact text forms the system emits for JSON values:
//  - wire JSON: compact with ", " and ": " separators, non-ASCII as \uXXXX;
//  - saved-file JSON: indent 2, ASCII only, no trailing newline;
//  - Python-style text for log lines and messages (None, True, ['a', 'b']).
#include <nlohmann/json.hpp>
#include <string>

namespace kit::json {

using Json = nlohmann::ordered_json;

// Compact JSON as peers expect it on the wire: {"a": 1, "b": [true, null]}.
std::string to_wire(const Json& value);

// Pretty JSON for files users may read: two-space indent, ASCII only, no
// newline at the end.
std::string to_file(const Json& value);

// Shortest text that reads back as the same double, in the layout of a
// Python float: "30.0", "0.1", "1e-05", "1e+16", "inf", "nan".
std::string py_float(double value);

// Python's repr(): strings quoted ('a'), None/True/False, lists and dicts
// with their contents in repr form.
std::string py_repr(const Json& value);

// Python's pprint.pformat(): py_repr when it fits in `width` columns,
// otherwise one dict item (keys sorted) or list element a line, nested.
std::string py_pformat(const Json& value, int width = 80);

// Python's str(): like py_repr except that a top-level string is bare.
std::string py_str(const Json& value);

// A JSON string literal with every non-ASCII code point escaped.
std::string quote_ascii(std::string_view utf8);

}  // namespace kit::json
