#pragma once
// A table with a centred title, a heavy header rule and one style per column.
#include <string>
#include <vector>

#include "kit/console/console.hpp"

namespace kit::console {

struct Column {
  std::string header;
  std::string style;  // applied to every cell of the column, e.g. "cyan"
};

class Table {
 public:
  explicit Table(std::string title = {}, std::string header_style = "bold")
      : title_(std::move(title)), header_style_(std::move(header_style)) {}

  void add_column(std::string header, std::string style = {});
  // Cells are mark-up; a short row is padded with empty cells.
  void add_row(std::vector<std::string> cells);

  std::vector<std::string> render(bool color, int* block_width) const;

 private:
  std::string title_;
  std::string header_style_;
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

void print(Console& console, const Table& table, Justify justify = Justify::left);

}  // namespace kit::console
