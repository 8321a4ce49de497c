#pragma once
// Command-line parsing that ends the way command-line tools do: --help
// prints and exits 0; a usage error prints the usage line of the
// (sub-)command, how to get help and the error to stderr, and exits 2.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

namespace kit::cli {

// The exit status when the program should end now, else nothing.
inline std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);  // --help, --version
    // The deepest sub-command the words reached names the usage.
    CLI::App* failing = &app;
    std::string name = app.get_name();
    for (auto subs = failing->get_subcommands(); !subs.empty(); subs = failing->get_subcommands()) {
      failing = subs.back();
      name += " " + failing->get_name();
    }
    const std::string usage = CLI::Formatter().make_usage(failing, name);
    std::fprintf(stderr, "%sTry '%s --help' for help.\n\nError: %s\n", usage.c_str(), name.c_str(), e.what());
    return 2;
  }
}

}  // namespace kit::cli
