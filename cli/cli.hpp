#pragma once
// The `tessaline` command: application, global options and the set-up that
// runs before every sub-command.
namespace tessaline::cli {

// Configure logging with appropriate level.
void setup_logging(bool debug = false);

// Check the package index for a newer version and notify the user. Never
// fails: every problem is swallowed silently.
void check_for_updates();

// Runs before the chosen sub-command: logging first, then the update check.
void main_callback(bool debug);

// Entry point for the CLI.
int main(int argc, char** argv);

}  // namespace tessaline::cli
