#include "kit/console/panel.hpp"

#include <algorithm>

#include "kit/console/markup.hpp"

namespace kit::console {
namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string repeat(std::string_view unit, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

}  // namespace

std::vector<std::string> render_panel(const Panel& panel, int max_width, bool color, int* block_width) {
  const Style border = parse_style(panel.border_style).value_or(Style{});
  // A line too wide for the box (an address, say) goes whole below it: cut
  // in pieces it could neither be copied nor clicked in one go.
  std::vector<std::string> lines, below;
  for (auto& line : split_lines(panel.body)) {
    (cell_width(plain_text(line)) > max_width - 4 ? below : lines).push_back(std::move(line));
  }
  int content = 0;
  for (const auto& line : lines) content = std::max(content, cell_width(plain_text(line)));
  const int title_width = panel.title.empty() ? 0 : cell_width(plain_text(panel.title)) + 2;
  int inner = std::max(content + 2, title_width + 2);
  inner = std::min(inner, std::max(max_width - 2, 4));

  std::vector<std::string> out;
  if (panel.title.empty()) {
    out.push_back(style_text("╭" + repeat("─", inner) + "╮", border, color));
  } else {
    const int left = std::max((inner - title_width) / 2, 0);
    const int right = std::max(inner - title_width - left, 0);
    out.push_back(style_text("╭" + repeat("─", left), border, color) + " " +
                  render_markup(panel.title, color) + " " +
                  style_text(repeat("─", right) + "╮", border, color));
  }
  const std::string side = style_text("│", border, color);
  for (const auto& line : lines) {
    const int pad = std::max(inner - 2 - cell_width(plain_text(line)), 0);
    out.push_back(side + " " + render_markup(line, color) + std::string(static_cast<size_t>(pad), ' ') + " " +
                  side);
  }
  out.push_back(style_text("╰" + repeat("─", inner) + "╯", border, color));
  for (const auto& line : below) out.push_back(render_markup(line, color));
  if (block_width) *block_width = inner + 2;
  return out;
}

void print(Console& console, const Panel& panel, Justify justify) {
  int block = 0;
  const auto lines = render_panel(panel, console.width(), console.color(), &block);
  console.print_rendered(lines, justify, block);
}

}  // namespace kit::console
