#include "kit/loop/interrupt.hpp"

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace kit {
namespace {

std::atomic<bool> pending{false};
std::atomic<int> presses{0};

std::mutex check_mutex;  // guards the host's check and its thread
std::function<void()> host_check;
std::thread::id host_thread;

void on_sigint(int) {
  if (presses.fetch_add(1) >= 1) _exit(130);  // second Ctrl+C: stop now
  pending.store(true);
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_sigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void throw_if_interrupted() {
  if (pending.exchange(false)) throw Interrupted();
  std::function<void()> check;
  {
    std::lock_guard lock(check_mutex);
    if (!host_check || std::this_thread::get_id() != host_thread) return;
    check = host_check;
  }
  check();
}

void set_interrupt_check(std::function<void()> check) {
  std::lock_guard lock(check_mutex);
  host_check = std::move(check);
  host_thread = std::this_thread::get_id();
}

bool interrupt_pending() { return pending.load(); }

void request_interrupt() { pending.store(true); }

}  // namespace kit
