#include "kit/pool/handoff.hpp"

#include <chrono>
#include <utility>

namespace kit {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(2);
constexpr auto kAwake = std::chrono::seconds(1);  // polling goes on this long after the last job

}  // namespace

Handoff::Handoff(ThreadPool& pool) : pool_(pool), relay_([this] { relay(); }) {}

Handoff::~Handoff() { stop(); }

void Handoff::post(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (stopping_) {  // the relay is gone: straight to the pool
    lock.unlock();
    pool_.submit(std::move(job));
    return;
  }
  queue_.push_back(std::move(job));
  const bool wake = std::exchange(sleeping_, false);
  lock.unlock();
  if (wake) wake_.notify_one();
}

void Handoff::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_one();
  relay_.join();
}

void Handoff::relay() {
  auto last_job = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<std::function<void()>> jobs;
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      if (queue_.empty() && !stopping_ && std::chrono::steady_clock::now() - last_job > kAwake) {
        sleeping_ = true;
        wake_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        sleeping_ = false;
      }
      jobs.swap(queue_);
      stopping = stopping_;
    }
    if (!jobs.empty()) last_job = std::chrono::steady_clock::now();
    for (auto& job : jobs) pool_.submit(std::move(job));
    if (stopping) return;
    if (jobs.empty()) std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace kit
