#pragma once
// How the user started this program, so that advice names a command that
// works: "tessaline" when it was found on PATH, else the path as typed
// ("build/bin/tessaline", "./tessaline").
#include <string>

namespace tessaline::cli {

void remember_invocation(const char* argv0);
std::string command_name();

// What brings this build up to date: pull and build its source folder,
// and install again when this copy runs from an installed location.
std::string update_command();

}  // namespace tessaline::cli
