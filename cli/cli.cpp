#include "cli/cli.hpp"

#include <CLI/CLI.hpp>

#include "cli/console.hpp"
#include "cli/ports.hpp"
#include "kit/log/logger.hpp"

namespace tessaline::cli {

kit::console::Console console;

void setup_logging(bool debug) {
  using kit::log::Level;
  const Level level = debug ? Level::DEBUG : Level::INFO;
  kit::log::basic_config(level, debug ? "%(levelname)s [%(name)s]: %(message)s" : "%(levelname)s: %(message)s");
  if (!debug) kit::log::get_logger("lerobot").set_level(Level::WARNING);
}

void main_callback(bool debug) {
  setup_logging(debug);
  check_for_updates();
}

namespace {

// List available serial ports and scan for connected motors.
void list_ports() { ports::find_robot_ports(std::nullopt, true); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tessaline CLI - Robot teleoperation and data collection", "tessaline"};
  bool debug = false;
  app.add_flag("--debug", debug, "Enable debug logging")->group("");
  auto* list_ports_cmd = app.add_subcommand("list-ports", "List available serial ports and scan for connected motors.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  main_callback(debug);
  if (list_ports_cmd->parsed()) {
    list_ports();
    return 0;
  }
  std::fputs(app.help().c_str(), stdout);  // no sub-command: say what there is
  return 0;
}

}  // namespace tessaline::cli
