#pragma once
// Hands jobs from a thread that must keep its pace (a fixed-rate loop) to a
// ThreadPool without a system call per job: the caller appends under an
// uncontended lock, and a relay thread moves the jobs to the pool. While
// jobs keep coming the relay looks every 2 ms; a second after the last one
// it sleeps, and the next job wakes it (one wake-up per pause, not per job).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kit/pool/thread_pool.hpp"

namespace kit {

class Handoff {
 public:
  explicit Handoff(ThreadPool& pool);
  ~Handoff();  // stop()
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  void post(std::function<void()> job);
  // Relays what is queued, then ends the relay; later posts run at once on the pool.
  void stop();

 private:
  void relay();

  ThreadPool& pool_;
  std::mutex mutex_;  // guards queue_, sleeping_, stopping_
  std::condition_variable wake_;
  std::vector<std::function<void()>> queue_;
  bool sleeping_ = false;
  bool stopping_ = false;
  std::thread relay_;
};

}  // namespace kit
