#include "kit/json/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace kit::json {
namespace {

// Decodes one UTF-8 sequence at s[i]; malformed input yields U+FFFD and
// consumes one byte, so text from outside never aborts an output.
char32_t next_code_point(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](size_t k) -> int {
    if (i + k >= s.size()) return -1;
    const auto b = static_cast<unsigned char>(s[i + k]);
    return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
  };
  int len = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const int c = cont(k);
    if (c < 0) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | static_cast<char32_t>(c);
  }
  i += len;
  const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void append_u_escape(std::string& out, unsigned unit) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 0xF];
}

void append_quoted_ascii(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const char32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (cp < 0x10000) {
      append_u_escape(out, cp);
    } else {
      const char32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + (v >> 10));
      append_u_escape(out, 0xDC00 + (v & 0x3FF));
    }
  }
  out += '"';
}

std::string json_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  return py_float(v);
}

std::string scalar_text(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return v.get<bool>() ? "true" : "false";
    case Json::value_t::number_float: return json_float(v.get<double>());
    case Json::value_t::number_integer: return std::to_string(v.get<int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(v.get<uint64_t>());
    case Json::value_t::binary: return "null";
    default: return "";
  }
}

void write_wire(std::string& out, const Json& v) {
  if (v.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : v.items()) {
      if (!first) out += ", ";
      first = false;
      append_quoted_ascii(out, key);
      out += ": ";
      write_wire(out, item);
    }
    out += '}';
  } else if (v.is_array()) {
    out += '[';
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) out += ", ";
      write_wire(out, v[i]);
    }
    out += ']';
  } else if (v.is_string()) {
    append_quoted_ascii(out, v.get_ref<const std::string&>());
  } else {
    out += scalar_text(v);
  }
}

void write_indented(std::string& out, const Json& v, int depth) {
  const std::string inner(static_cast<size_t>(depth + 1) * 2, ' ');
  const std::string outer(static_cast<size_t>(depth) * 2, ' ');
  if (v.is_object() && !v.empty()) {
    out += "{\n";
    bool first = true;
    for (const auto& [key, item] : v.items()) {
      if (!first) out += ",\n";
      first = false;
      out += inner;
      append_quoted_ascii(out, key);
      out += ": ";
      write_indented(out, item, depth + 1);
    }
    out += '\n' + outer + '}';
  } else if (v.is_array() && !v.empty()) {
    out += "[\n";
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) out += ",\n";
      out += inner;
      write_indented(out, v[i], depth + 1);
    }
    out += '\n' + outer + ']';
  } else {
    write_wire(out, v);
  }
}

void append_py_string(std::string& out, std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  static constexpr char hex[] = "0123456789abcdef";
  out += quote;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += ch;
    }
  }
  out += quote;
}

void write_py(std::string& out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: out += "None"; return;
    case Json::value_t::boolean: out += v.get<bool>() ? "True" : "False"; return;
    case Json::value_t::number_float: out += py_float(v.get<double>()); return;
    case Json::value_t::string: append_py_string(out, v.get_ref<const std::string&>()); return;
    case Json::value_t::array: {
      out += '[';
      for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        write_py(out, v[i]);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out += ", ";
        first = false;
        append_py_string(out, key);
        out += ": ";
        write_py(out, item);
      }
      out += '}';
      return;
    }
    default: out += scalar_text(v); return;
  }
}

}  // namespace

std::string py_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  // Shortest round-trip digits come from to_chars in scientific form; the
  // layout then follows Python: positional for exponents -4..15.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  const size_t e_pos = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  std::string digits = sci.substr(0, e_pos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());

  std::string out = negative ? "-" : "";
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exponent + 1) {
      out += digits + std::string(static_cast<size_t>(exponent + 1) - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(exponent + 1)) + "." +
             digits.substr(static_cast<size_t>(exponent + 1));
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  out += exponent < 0 ? "e-" : "e+";
  const int mag = std::abs(exponent);
  if (mag < 10) out += '0';
  out += std::to_string(mag);
  return out;
}

std::string to_wire(const Json& value) {
  std::string out;
  write_wire(out, value);
  return out;
}

std::string to_file(const Json& value) {
  std::string out;
  write_indented(out, value, 0);
  return out;
}

std::string py_repr(const Json& value) {
  std::string out;
  write_py(out, value);
  return out;
}

namespace {

// pprint sorts every mapping's keys, on one line or many.
Json sorted_keys(const Json& value) {
  if (value.is_array()) {
    Json out = Json::array();
    for (const auto& item : value) out.push_back(sorted_keys(item));
    return out;
  }
  if (!value.is_object()) return value;
  std::vector<std::string> keys;
  for (const auto& [key, item] : value.items()) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  Json out = Json::object();
  for (const auto& key : keys) out[key] = sorted_keys(value.at(key));
  return out;
}

std::string pformat_at(const Json& value, size_t column, size_t width) {
  std::string flat = py_repr(value);
  if (column + flat.size() <= width || (!value.is_object() && !value.is_array()) || value.empty()) return flat;
  const std::string newline = ",\n" + std::string(column + 1, ' ');
  std::string out(1, value.is_object() ? '{' : '[');
  bool first = true;
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      const std::string label = py_repr(Json(key)) + ": ";
      out += (first ? "" : newline) + label + pformat_at(item, column + 1 + label.size(), width);
      first = false;
    }
  } else {
    for (const auto& item : value) {
      out += (first ? "" : newline) + pformat_at(item, column + 1, width);
      first = false;
    }
  }
  return out + (value.is_object() ? '}' : ']');
}

}  // namespace

std::string py_pformat(const Json& value, int width) {
  return pformat_at(sorted_keys(value), 0, static_cast<size_t>(std::max(width, 1)));
}

std::string py_str(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return py_repr(value);
}

std::string quote_ascii(std::string_view utf8) {
  std::string out;
  append_quoted_ascii(out, utf8);
  return out;
}

}  // namespace kit::json
