#include "cli/command_errors.hpp"

#include <cstdio>
#include <exception>

#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::cli {

int run_reporting_errors(const std::function<void()>& command) {
  try {
    command();
    return 0;
  } catch (const CommandExit& e) {
    return e.code;
  } catch (const kit::Interrupted&) {
    std::fputs("\nInterrupted\n", stderr);
    return 130;
  } catch (const std::exception& e) {
    kit::console::Console err(stderr);
    err.print("[red]Error:[/red] " + kit::console::escape(e.what()));
    return 1;
  }
}

}  // namespace tessaline::cli
