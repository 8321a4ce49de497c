#pragma once
// A background asio event loop on its own thread. Work is submitted from any
// thread; `run_blocking` runs an awaitable there and waits for it with a
// limit, passing its result or error back to the caller's thread.
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kit/loop/interrupt.hpp"

namespace kit {

struct LoopTimeout : std::runtime_error {
  LoopTimeout() : std::runtime_error("timed out waiting for the event loop") {}
};

class EventLoop {
 public:
  EventLoop() = default;
  ~EventLoop() { stop(std::chrono::seconds(2)); }
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts the loop thread unless it runs already.
  void start();
  bool running() const { return running_.load(); }
  // Stops the loop and waits up to `join_limit` for its thread; a thread
  // still busy after that is left to finish on its own (detached).
  void stop(std::chrono::milliseconds join_limit);

  asio::io_context& context() { return *context_; }
  asio::io_context::executor_type executor() { return context_->get_executor(); }

  template <typename F>
  void post(F&& fn) {
    asio::post(*context_, std::forward<F>(fn));
  }

  // Runs `work` on the loop (starting it if needed) and waits at most
  // `limit`. Throws LoopTimeout when the limit passes first, Interrupted on
  // Ctrl+C before or during the wait (see interrupt.hpp); work already
  // started then goes on in the loop.
  template <typename T>
  T run_blocking(asio::awaitable<T> work, std::chrono::duration<double> limit) {
    throw_if_interrupted();  // every blocking call is a safe point, however short
    start();
    std::future<T> result = asio::co_spawn(*context_, std::move(work), asio::use_future);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(limit);
    for (;;) {
      const auto left = deadline - std::chrono::steady_clock::now();
      const auto slice = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(50));
      if (result.wait_for(std::max<std::chrono::nanoseconds>(slice, {})) == std::future_status::ready) break;
      if (std::chrono::steady_clock::now() >= deadline) throw LoopTimeout();
      throw_if_interrupted();
    }
    return result.get();
  }

 private:
  // Shared with the thread, which may outlive a stop() that gave up waiting.
  std::shared_ptr<asio::io_context> context_ = std::make_shared<asio::io_context>();
  std::mutex mutex_;  // guards starting and stopping
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::shared_ptr<std::promise<void>> finished_;
};

}  // namespace kit
