#pragma once
// A small table redrawn in place on a terminal (joint values while
// calibrating or teleoperating). Elsewhere it prints only its last state,
// once, when finished, so logs and pipes get one readable table.
#include <string>
#include <vector>

#include "kit/console/console.hpp"

namespace tessaline::cli {

class LiveTable {
 public:
  LiveTable(kit::console::Console& console, std::vector<std::string> header);
  void draw(const std::vector<std::vector<std::string>>& rows, const std::string& footer = "");
  // The terminal echoed a line of input under the table (the ENTER that
  // stops it): the next draw goes that much further up.
  void line_echoed();
  void finish();

 private:
  std::vector<std::string> render(const std::vector<std::vector<std::string>>& rows, const std::string& footer) const;

  kit::console::Console& console_;
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> last_rows_;
  std::string last_footer_;
  size_t drawn_lines_ = 0;
  bool finished_ = false;
};

}  // namespace tessaline::cli
