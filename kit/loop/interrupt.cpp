#include "kit/loop/interrupt.hpp"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace kit {
namespace {

std::atomic<bool> pending{false};
std::atomic<int> presses{0};

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
}

bool interrupt_pending() { return pending.load(); }

void request_interrupt() { pending.store(true); }

}  // namespace kit
