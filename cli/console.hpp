#pragma once
#include "kit/console/console.hpp"

namespace tessaline::cli {
// The command front end's console; every message of the sub-commands goes here.
extern kit::console::Console console;
}  // namespace tessaline::cli
