#pragma once
// Waiting for the library without holding up Python: the GIL is released
// while the library waits, and Ctrl+C (Python's own SIGINT handling) is
// asked at every safe point of the main thread, so a wait ends with
// KeyboardInterrupt (or whatever Python's handler raises).
#include <pybind11/pybind11.h>

#include <chrono>
#include <functional>
#include <optional>

namespace tessaline::python {

namespace py = pybind11;

// Once, at import: the library's safe points ask Python about Ctrl+C.
void ask_python_about_interrupts();

// Waits for `wait(slice)` slice by slice (at most 0.1 s each) until it
// gives a value or `timeout` passes; between slices, and only there, Ctrl+C
// is asked for — so no wait is ever abandoned halfway (a command it would
// have taken is never lost). Needs the GIL; releases it while waiting.
template <typename T>
std::optional<T> wait_in_slices(double timeout, const std::function<std::optional<T>(double)>& wait);

// Runs `work` with the GIL released and Ctrl+C asked only after it returns.
void without_interrupts(const std::function<void()>& work);

// Runs `work` with the GIL released, Ctrl+C asked at the library's safe
// points within it (an interactive procedure that undoes itself when stopped).
void with_interrupts(const std::function<void()>& work);

}  // namespace tessaline::python
