#include "python/bindings/waiting.hpp"

#include <algorithm>
#include <string>

#include "kit/loop/interrupt.hpp"
#include "python/bindings/arrays.hpp"

namespace tessaline::python {
namespace {

thread_local bool interrupts_deferred = false;

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

void ask_python_about_interrupts() {
  kit::set_interrupt_check([] {
    if (interrupts_deferred) return;
    py::gil_scoped_acquire gil;
    return_loans();
    check_signals();
  });
}

void without_interrupts(const std::function<void()>& work) {
  {
    py::gil_scoped_release release;
    interrupts_deferred = true;
    try {
      work();
    } catch (...) {
      interrupts_deferred = false;
      throw;
    }
    interrupts_deferred = false;
  }
  check_signals();
}

void with_interrupts(const std::function<void()>& work) {
  {
    py::gil_scoped_release release;
    work();
  }
  check_signals();
}

template <typename T>
std::optional<T> wait_in_slices(double timeout, const std::function<std::optional<T>(double)>& wait) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, timeout)));
  for (;;) {
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    std::optional<T> got;
    without_interrupts([&] { got = wait(std::clamp(left, 0.0, 0.1)); });
    if (got || left <= 0.1) return got;
  }
}

template std::optional<std::string> wait_in_slices(double, const std::function<std::optional<std::string>(double)>&);

}  // namespace tessaline::python
