#include "kit/loop/event_loop.hpp"

namespace kit {

void EventLoop::start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  context_->restart();
  finished_ = std::make_shared<std::promise<void>>();
  running_ = true;
  thread_ = std::thread([context = context_, finished = finished_] {
    auto guard = asio::make_work_guard(*context);
    context->run();
    finished->set_value();
  });
}

void EventLoop::stop(std::chrono::milliseconds join_limit) {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  running_ = false;
  context_->stop();
  if (std::this_thread::get_id() == thread_.get_id()) {
    thread_.detach();  // stopping from inside: the thread ends after this handler
  } else if (finished_->get_future().wait_for(join_limit) == std::future_status::ready) {
    thread_.join();
  } else {
    thread_.detach();
    context_ = std::make_shared<asio::io_context>();  // the old one still belongs to that thread
  }
}

}  // namespace kit
