#pragma once
// Ctrl+C as an orderly stop. Once `install_interrupt_handler` ran, the first
// SIGINT only raises a flag; the main thread notices it at its next safe
// point (`throw_if_interrupted`, and every wait of EventLoop::run_blocking)
// and unwinds with `Interrupted`, so the code that closes sessions and
// releases the arms runs on the way out. A second Ctrl+C ends the process
// at once. Without the handler nothing here changes how SIGINT behaves.
#include <exception>
#include <functional>

namespace kit {

struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

void install_interrupt_handler();
// Throws Interrupted when Ctrl+C was pressed since the last throw (the flag
// is cleared, so clean-up code that waits again is not interrupted twice).
void throw_if_interrupted();
bool interrupt_pending();
// Raises the flag as SIGINT would (for tests and other stop requests).
void request_interrupt();

// A host that keeps its own Ctrl+C (an embedding interpreter) is asked at
// every safe point of the thread that set the check; the check throws the
// host's own exception to stop. An empty function removes it.
void set_interrupt_check(std::function<void()> check);

}  // namespace kit
