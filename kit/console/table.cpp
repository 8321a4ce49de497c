#include "kit/console/table.hpp"

#include <algorithm>

#include "kit/console/markup.hpp"

namespace kit::console {
namespace {

std::string repeat(std::string_view unit, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

std::string styled_cell(const std::string& markup, const std::string& style, bool color) {
  if (style.empty() || !parse_style(style)) return render_markup(markup, color);
  return render_markup("[" + style + "]" + markup + "[/]", color);
}

}  // namespace

void Table::add_column(std::string header, std::string style) {
  columns_.push_back({std::move(header), std::move(style)});
}

void Table::add_row(std::vector<std::string> cells) {
  cells.resize(std::max(cells.size(), columns_.size()));
  rows_.push_back(std::move(cells));
}

std::vector<std::string> Table::render(bool color, int* block_width) const {
  const size_t n = columns_.size();
  std::vector<int> widths(n, 0);
  for (size_t c = 0; c < n; ++c) {
    widths[c] = cell_width(plain_text(columns_[c].header));
    for (const auto& row : rows_) widths[c] = std::max(widths[c], cell_width(plain_text(row[c])));
  }
  auto rule = [&](std::string_view left, std::string_view fill, std::string_view mid, std::string_view right) {
    std::string line(left);
    for (size_t c = 0; c < n; ++c) {
      line += repeat(fill, widths[c] + 2);
      line += c + 1 < n ? mid : right;
    }
    return line;
  };
  auto row_line = [&](const std::vector<std::string>& cells, std::string_view bar, bool header) {
    std::string line(bar);
    for (size_t c = 0; c < n; ++c) {
      const std::string& style = header ? header_style_ : columns_[c].style;
      const int pad = widths[c] - cell_width(plain_text(cells[c]));
      line += " " + styled_cell(cells[c], style, color) + std::string(static_cast<size_t>(pad), ' ') + " ";
      line += bar;
    }
    return line;
  };

  int total = 1;
  for (const int w : widths) total += w + 3;
  std::vector<std::string> out;
  if (!title_.empty()) {
    const int pad = std::max((total - cell_width(plain_text(title_))) / 2, 0);
    out.push_back(std::string(static_cast<size_t>(pad), ' ') + render_markup("[italic]" + title_ + "[/]", color));
  }
  std::vector<std::string> headers;
  for (const auto& col : columns_) headers.push_back(col.header);
  out.push_back(rule("┏", "━", "┳", "┓"));
  out.push_back(row_line(headers, "┃", true));
  out.push_back(rule("┡", "━", "╇", "┩"));
  for (const auto& row : rows_) out.push_back(row_line(row, "│", false));
  out.push_back(rule("└", "─", "┴", "┘"));
  if (block_width) *block_width = total;
  return out;
}

void print(Console& console, const Table& table, Justify justify) {
  int block = 0;
  const auto lines = table.render(console.color(), &block);
  console.print_rendered(lines, justify, block);
}

}  // namespace kit::console
