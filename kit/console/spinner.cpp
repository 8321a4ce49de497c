#include "kit/console/spinner.hpp"

#include <chrono>

#include "kit/console/markup.hpp"

namespace kit::console {
namespace {
constexpr const char* kDots[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};
constexpr auto kInterval = std::chrono::milliseconds(80);
}  // namespace

Status::Status(Console& console, std::string markup) : console_(console), text_(std::move(markup)) {
  if (!console_.is_terminal()) return;
  console_.set_live_line([this] { return draw(); });
  thread_ = std::thread([this] { animate(); });
}

Status::~Status() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  console_.clear_live_line();
}

void Status::update(std::string markup) {
  std::lock_guard lock(mutex_);
  text_ = std::move(markup);
}

std::string Status::draw() {
  std::lock_guard lock(mutex_);
  return "\r\x1b[2K" + style_text(kDots[frame_ % 10], *parse_style("green"), console_.color()) + " " +
         console_.render(text_);
}

void Status::animate() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kInterval, [this] { return stop_; })) {
    ++frame_;
    lock.unlock();
    console_.write("");  // redraws the live line below nothing
    lock.lock();
  }
}

}  // namespace kit::console
