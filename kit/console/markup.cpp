#include "kit/console/markup.hpp"

#include <cstdio>

#include <array>
#include <utility>

namespace kit::console {
namespace {

constexpr std::array<std::pair<std::string_view, int>, 16> kColors{{
    {"black", 30}, {"red", 31}, {"green", 32}, {"yellow", 33}, {"blue", 34}, {"magenta", 35},
    {"cyan", 36}, {"white", 37}, {"bright_black", 90}, {"bright_red", 91}, {"bright_green", 92},
    {"bright_yellow", 93}, {"bright_blue", 94}, {"bright_magenta", 95}, {"bright_cyan", 96},
    {"bright_white", 97},
}};

bool apply_word(Style& s, std::string_view word) {
  if (word == "bold" || word == "b") return s.bold = true;
  if (word == "dim" || word == "d") return s.dim = true;
  if (word == "italic" || word == "i") return s.italic = true;
  if (word == "underline" || word == "u") return s.underline = true;
  for (const auto& [name, code] : kColors) {
    if (word == name) {
      s.color = code;
      return true;
    }
  }
  return false;
}

struct OpenTag {
  std::string spec;
  Style style;
};

}  // namespace

Style Style::merged(const Style& over) const {
  Style out = *this;
  out.bold |= over.bold;
  out.dim |= over.dim;
  out.italic |= over.italic;
  out.underline |= over.underline;
  if (over.color >= 0) out.color = over.color;
  if (!over.link.empty()) out.link = over.link;
  return out;
}

std::optional<Style> parse_style(std::string_view spec) {
  Style style;
  if (spec.starts_with("link=")) {
    if (spec.size() == 5) return std::nullopt;
    style.link = std::string(spec.substr(5));
    return style;
  }
  bool any = false;
  size_t pos = 0;
  while (pos < spec.size()) {
    const size_t end = std::min(spec.find(' ', pos), spec.size());
    const std::string_view word = spec.substr(pos, end - pos);
    if (!word.empty()) {
      if (!apply_word(style, word)) return std::nullopt;
      any = true;
    }
    pos = end + 1;
  }
  if (!any) return std::nullopt;
  return style;
}

std::vector<Span> parse_markup(std::string_view markup) {
  std::vector<Span> spans;
  std::vector<OpenTag> stack;
  std::string text;
  auto current = [&] {
    Style s;
    for (const auto& tag : stack) s = s.merged(tag.style);
    return s;
  };
  auto flush = [&] {
    if (!text.empty()) spans.push_back({std::move(text), current()});
    text.clear();
  };
  for (size_t i = 0; i < markup.size();) {
    const char c = markup[i];
    if (c == '\\' && i + 1 < markup.size() && markup[i + 1] == '[') {
      text += '[';
      i += 2;
      continue;
    }
    if (c != '[') {
      text += c;
      ++i;
      continue;
    }
    const size_t close = markup.find(']', i + 1);
    if (close == std::string_view::npos) {
      text += markup.substr(i);
      break;
    }
    const std::string_view inner = markup.substr(i + 1, close - i - 1);
    bool consumed = false;
    if (inner.starts_with('/')) {
      const std::string_view name = inner.substr(1);
      for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        const std::string_view open = it->spec;
        if (name.empty() || open == name || open.substr(0, open.find('=')) == name) {
          flush();
          stack.erase(std::next(it).base());
          consumed = true;
          break;
        }
      }
    } else if (auto style = parse_style(inner)) {
      flush();
      stack.push_back({std::string(inner), *style});
      consumed = true;
    }
    if (!consumed) text.append(markup.substr(i, close - i + 1));
    i = close + 1;
  }
  flush();
  return spans;
}

std::string style_text(std::string_view text, const Style& style, bool color) {
  if (!color || style.plain()) return std::string(text);
  std::string codes;
  auto add = [&](int code) {
    if (!codes.empty()) codes += ';';
    codes += std::to_string(code);
  };
  if (style.bold) add(1);
  if (style.dim) add(2);
  if (style.italic) add(3);
  if (style.underline) add(4);
  if (style.color >= 0) add(style.color);
  std::string out;
  if (!style.link.empty()) out += "\x1b]8;;" + style.link + "\x1b\\";
  if (!codes.empty()) out += "\x1b[" + codes + "m";
  out += text;
  if (!codes.empty()) out += "\x1b[0m";
  if (!style.link.empty()) out += "\x1b]8;;\x1b\\";
  return out;
}

std::string render_spans(const std::vector<Span>& spans, bool color) {
  std::string out;
  for (const auto& span : spans) out += style_text(span.text, span.style, color);
  return out;
}

std::string render_markup(std::string_view markup, bool color) {
  return render_spans(parse_markup(markup), color);
}

std::string plain_text(std::string_view markup) { return render_markup(markup, false); }

namespace {

bool is_wide(char32_t cp) {
  static constexpr std::pair<char32_t, char32_t> kWide[] = {
      {0x1100, 0x115F},   {0x231A, 0x231B},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
      {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},
      {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},
      {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},   {0x26D4, 0x26D4},
      {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},   {0x26FA, 0x26FA},
      {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
      {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},
      {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},
      {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
      {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},
      {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
      {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
  };
  for (const auto& [lo, hi] : kWide) {
    if (cp >= lo && cp <= hi) return true;
  }
  return false;
}

}  // namespace

int cell_width(std::string_view s) {
  int width = 0;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    char32_t cp = len == 1 ? b : b & (0x3F >> (len - 1));
    for (int k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += static_cast<size_t>(len);
    if (cp == 0xFE0F || cp == 0x200D || (cp >= 0x300 && cp < 0x370)) continue;  // joiners, marks
    if (cp == '\x1b') continue;
    width += is_wide(cp) ? 2 : 1;
  }
  return width;
}

std::string escape(std::string_view text) {
  std::string out;
  auto shown = [&](unsigned code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", code);
    out += buf;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '[') {
      out += "\\[";
    } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      shown(c);  // escape sequences, bells, carriage returns: visible, never acted on
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      shown(static_cast<unsigned char>(text[++i]));  // C1 controls (U+0080..U+009F)
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace kit::console
