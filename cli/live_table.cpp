#include "cli/live_table.hpp"

#include <algorithm>
#include <cstdio>

#include "kit/console/markup.hpp"

namespace tessaline::cli {

LiveTable::LiveTable(kit::console::Console& console, std::vector<std::string> header)
    : console_(console), header_(std::move(header)) {}

std::vector<std::string> LiveTable::render(const std::vector<std::vector<std::string>>& rows,
                                           const std::string& footer) const {
  std::vector<size_t> widths;
  for (const auto& h : header_) widths.push_back(std::max<size_t>(h.size(), 8));
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      const std::string& cell = cells[i];
      // The first column reads left to right, numbers line up on the right.
      const std::string pad(widths[i] - cell.size(), ' ');
      out += (i == 0 ? cell + pad : pad + cell) + (i + 1 < cells.size() ? " | " : "");
    }
    return out;
  };
  std::vector<std::string> out{line(header_)};
  size_t total = 0;
  for (const auto w : widths) total += w + 3;
  out.push_back(std::string(total > 3 ? total - 3 : 0, '-'));
  for (const auto& row : rows) out.push_back(line(row));
  if (!footer.empty()) out.push_back(footer);
  return out;
}

void LiveTable::draw(const std::vector<std::vector<std::string>>& rows, const std::string& footer) {
  last_rows_ = rows;
  last_footer_ = footer;
  if (!console_.is_terminal()) return;
  std::string text;
  if (drawn_lines_ > 0) text += "\x1b[" + std::to_string(drawn_lines_) + "F";  // back to the table's first line
  const auto lines = render(rows, footer);
  for (const auto& l : lines) text += l + "\x1b[K\n";
  drawn_lines_ = lines.size();
  std::fputs(text.c_str(), console_.stream());
  std::fflush(console_.stream());
}

void LiveTable::line_echoed() {
  if (drawn_lines_ > 0) ++drawn_lines_;
}

void LiveTable::finish() {
  if (finished_) return;
  finished_ = true;
  if (console_.is_terminal()) return;  // the last state is on screen already
  for (const auto& l : render(last_rows_, last_footer_)) console_.print(kit::console::escape(l));
}

}  // namespace tessaline::cli
