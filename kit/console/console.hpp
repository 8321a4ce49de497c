#pragma once
// One console per module, all writing to the same terminal. Colour only when
// the output is a terminal and NO_COLOR is unset; plain words otherwise, so
// pipes and tests read the text. Thread-safe: each print is written whole.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kit::console {

enum class Justify { left, center };

struct ConsoleOptions {
  std::optional<bool> color;  // default: terminal and no NO_COLOR
  std::optional<int> width;   // default: terminal width, else COLUMNS, else 80
};

class Console {
 public:
  explicit Console(std::FILE* out = stdout, ConsoleOptions options = {});

  // Prints one line of mark-up followed by a newline.
  void print(std::string_view markup = {}, Justify justify = Justify::left);
  // Prints already rendered lines, each followed by a newline.
  void print_rendered(const std::vector<std::string>& lines, Justify justify, int block_width);
  // Writes text without a newline (prompts).
  void write(std::string_view markup);

  std::string render(std::string_view markup) const;
  bool color() const { return color_; }
  bool is_terminal() const { return terminal_; }
  int width() const;
  std::FILE* stream() const { return out_; }

  // A transient line (spinner) kept at the bottom; other prints go above it.
  // Only one per process; the drawer is called under the output lock.
  void set_live_line(std::function<std::string()> drawer);
  void clear_live_line();

 private:
  void emit(const std::string& text);

  std::FILE* out_;
  bool terminal_;
  bool color_;
  std::optional<int> fixed_width_;
};

}  // namespace kit::console
