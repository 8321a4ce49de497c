#pragma once
// A transient status line with a "dots" spinner, shown while work runs and
// erased when it ends. On a terminal only; elsewhere it prints nothing.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "kit/console/console.hpp"

namespace kit::console {

class Status {
 public:
  Status(Console& console, std::string markup);
  ~Status();
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  void update(std::string markup);

 private:
  std::string draw();
  void animate();

  Console& console_;  // outlives the status
  std::mutex mutex_;  // guards text_, frame_, stop_
  std::condition_variable wake_;
  std::string text_;
  size_t frame_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kit::console
