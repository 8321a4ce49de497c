#pragma once
// A fixed pool of worker threads running submitted tasks in order of
// submission, with futures for their results. After shutdown no task is
// accepted; shutdown waits for every task already submitted.
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kit {

struct PoolShutDown : std::runtime_error {
  PoolShutDown() : std::runtime_error("cannot schedule new futures after shutdown") {}
};

class ThreadPool {
 public:
  // Background workers never preempt the thread that woke them (they run
  // as batch work), so a fixed-rate caller keeps its timing.
  explicit ThreadPool(size_t workers, bool background = false);
  ~ThreadPool();  // shutdown(): runs what was queued, then joins
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  template <typename F>
  auto submit(F&& fn) -> std::future<decltype(fn())> {
    using R = decltype(fn());
    auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
    std::future<R> result = task->get_future();
    enqueue([task] { (*task)(); });
    return result;
  }

  void shutdown();
  size_t worker_count() const { return workers_.size(); }

 private:
  void enqueue(std::function<void()> job);
  void run(bool background);

  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace kit
