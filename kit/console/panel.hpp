#pragma once
// A bordered box with an optional title centred in its top edge.
#include <string>
#include <vector>

#include "kit/console/console.hpp"

namespace kit::console {

struct Panel {
  std::string body;          // mark-up; may hold several lines
  std::string title;         // mark-up
  std::string border_style;  // e.g. "yellow"
};

// The panel's lines, sized to its content, capped at `max_width` cells; a
// body line wider than that follows the box, whole.
std::vector<std::string> render_panel(const Panel& panel, int max_width, bool color, int* block_width);

void print(Console& console, const Panel& panel, Justify justify = Justify::left);

}  // namespace kit::console
