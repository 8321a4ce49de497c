#include "cli/console.hpp"

namespace tessaline::cli {
kit::console::Console console;
}  // namespace tessaline::cli
