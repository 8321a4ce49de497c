#include "kit/pool/thread_pool.hpp"

#include <sched.h>

namespace kit {

ThreadPool::ThreadPool(size_t workers, bool background) {
  workers_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this, background] { run(background); });
}

ThreadPool::~ThreadPool() { shutdown(); }

void ThreadPool::enqueue(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) throw PoolShutDown();
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ThreadPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : workers_) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
  }
}

void ThreadPool::run(bool background) {
  if (background) {
    sched_param param{};
    sched_setscheduler(0, SCHED_BATCH, &param);  // this thread only; failure just leaves the default
  }
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();  // packaged_task keeps exceptions in the future
  }
}

}  // namespace kit
