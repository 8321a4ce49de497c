#pragma once
// Inline console mark-up: "[green]ok[/green]", "[bold cyan]x[/]",
// "[link=URL]here[/link]". A bracket opens a tag only when its content is a
// closing slash or a known style; anything else ("[1]", "[0] Other") is text.
// "\[" is a literal bracket.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kit::console {

struct Style {
  bool bold = false;
  bool dim = false;
  bool italic = false;
  bool underline = false;
  int color = -1;  // ANSI foreground code (30..37, 90..97) or -1
  std::string link;

  // Layers `over` on top of this style.
  Style merged(const Style& over) const;
  bool plain() const { return !bold && !dim && !italic && !underline && color < 0 && link.empty(); }
};

// A style spec such as "bold yellow" or "link=https://x"; nullopt when any
// word is not a style.
std::optional<Style> parse_style(std::string_view spec);

struct Span {
  std::string text;
  Style style;
};

std::vector<Span> parse_markup(std::string_view markup);

// The spans as text: with ANSI escapes when `color`, plain words otherwise.
std::string render_spans(const std::vector<Span>& spans, bool color);
std::string render_markup(std::string_view markup, bool color);
std::string style_text(std::string_view text, const Style& style, bool color);

// Text without mark-up, as it shows on screen.
std::string plain_text(std::string_view markup);

// Terminal cells taken by UTF-8 text (wide characters such as emoji take 2).
int cell_width(std::string_view utf8);

// Outside text made safe to print with mark-up: "[" is escaped, and control
// characters (escape sequences, bells, carriage returns; new lines and tabs
// excepted) are shown as \xNN instead of reaching the terminal.
std::string escape(std::string_view text);

}  // namespace kit::console
