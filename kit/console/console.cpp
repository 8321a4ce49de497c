#include "kit/console/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "kit/console/markup.hpp"

namespace kit::console {
namespace {

// All consoles share the terminal, so they share one lock and one live line.
struct Terminal {
  std::mutex mutex;
  std::function<std::string()> live;
  std::FILE* live_stream = nullptr;
};

Terminal& terminal() {
  static Terminal* t = new Terminal;  // outlives static teardown of consoles
  return *t;
}

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

}  // namespace

Console::Console(std::FILE* out, ConsoleOptions options)
    : out_(out), terminal_(isatty(fileno(out)) == 1), fixed_width_(options.width) {
  color_ = options.color.value_or(terminal_ && !env_set("NO_COLOR") &&
                                  std::string_view(std::getenv("TERM") ? std::getenv("TERM") : "") != "dumb");
}

int Console::width() const {
  if (fixed_width_) return *fixed_width_;
  if (terminal_) {
    winsize ws{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  }
  if (const char* cols = std::getenv("COLUMNS")) {
    const int n = std::atoi(cols);
    if (n > 0) return n;
  }
  return 80;
}

std::string Console::render(std::string_view markup) const { return render_markup(markup, color_); }

void Console::emit(const std::string& text) {
  Terminal& t = terminal();
  std::lock_guard lock(t.mutex);
  const bool live_here = t.live && t.live_stream == out_;
  if (live_here) std::fputs("\r\x1b[2K", out_);
  std::fwrite(text.data(), 1, text.size(), out_);
  if (live_here) {
    const std::string line = t.live();
    std::fwrite(line.data(), 1, line.size(), out_);
  }
  std::fflush(out_);
}

void Console::print(std::string_view markup, Justify justify) {
  std::string line = render(markup);
  if (justify == Justify::center) {
    const int pad = (width() - cell_width(plain_text(markup))) / 2;
    if (pad > 0) line.insert(0, static_cast<size_t>(pad), ' ');
  }
  emit(line + "\n");
}

void Console::print_rendered(const std::vector<std::string>& lines, Justify justify, int block_width) {
  const int pad = justify == Justify::center ? (width() - block_width) / 2 : 0;
  std::string text;
  for (const auto& line : lines) {
    if (pad > 0) text.append(static_cast<size_t>(pad), ' ');
    text += line + "\n";
  }
  emit(text);
}

void Console::write(std::string_view markup) { emit(render(markup)); }

void Console::set_live_line(std::function<std::string()> drawer) {
  Terminal& t = terminal();
  std::lock_guard lock(t.mutex);
  t.live = std::move(drawer);
  t.live_stream = out_;
  const std::string line = "\r\x1b[2K" + t.live();
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void Console::clear_live_line() {
  Terminal& t = terminal();
  std::lock_guard lock(t.mutex);
  if (t.live_stream == out_) {
    std::fputs("\r\x1b[2K", out_);
    std::fflush(out_);
  }
  t.live = nullptr;
  t.live_stream = nullptr;
}

}  // namespace kit::console
