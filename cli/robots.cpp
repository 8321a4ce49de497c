#include "cli/robots.hpp"

#include <stdexcept>

#include "armkit/robots/arm_kinds.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/console.hpp"
#include "kit/console/prompt.hpp"

namespace tessaline::robots {

const std::map<std::string, std::tuple<std::string, std::string, std::string>> _MOTOR_TYPE_TO_ROBOT = {
    {"feetech", {"SO-101", "so101_follower", "so101_leader"}},
    {"dynamixel", {"Koch v1.1", "koch_follower", "koch_leader"}},
};

namespace {

kit::console::Console console;

const std::vector<std::tuple<std::string, std::string, std::string>> kPresets = {
    {"SO-101", "so101_follower", "so101_leader"},
    {"SO-100", "so100_follower", "so100_leader"},
    {"Koch v1.1", "koch_follower", "koch_leader"},
};

}  // namespace

std::optional<std::pair<std::string, std::string>> infer_robot_type(const std::vector<ports::PortInfo>& ports) {
  for (const auto& port : ports) {
    if (!port.motor_type || port.motor_type->empty()) continue;
    const auto it = _MOTOR_TYPE_TO_ROBOT.find(*port.motor_type);
    if (it == _MOTOR_TYPE_TO_ROBOT.end()) continue;
    const auto& [name, robot, teleop] = it->second;
    console.print("[green]Detected robot type:[/green] " + name);
    return std::pair{robot, teleop};
  }
  return std::nullopt;
}

std::pair<std::string, std::string> prompt_robot_type(std::istream& answers) {
  console.print("\n[bold cyan]Select your robot type:[/bold cyan]");
  for (size_t i = 0; i < kPresets.size(); ++i) {
    console.print("  [" + std::to_string(i + 1) + "] " + std::get<0>(kPresets[i]));
  }
  console.print("  [0] Other (enter manually)");
  const std::string answer = kit::console::ask(console, "Selection", {{}, std::string("1")}, answers);
  int number = 0;
  try {
    size_t used = 0;
    number = std::stoi(answer, &used);
    if (used != answer.size()) number = 0;
  } catch (const std::exception&) {
    number = 0;
  }
  if (number >= 1 && number <= static_cast<int>(kPresets.size())) {
    const auto& [name, robot, teleop] = kPresets[static_cast<size_t>(number - 1)];
    console.print("  Using [green]" + name + "[/green]");
    return {robot, teleop};
  }
  // Checked here, before anything is saved: a name no arm has would
  // otherwise end every later run until the setup is reset.
  auto ask_type = [&](const std::string& prompt, const std::string& role) {
    for (;;) {
      const std::string type = kit::console::ask(console, prompt, {}, answers);
      try {
        armkit::arm_kind(type);
        if (type.ends_with(role)) return type;
        console.print("[red]'" + kit::console::escape(type) + "' is not a " + role.substr(1) + " type.[/red]");
      } catch (const std::invalid_argument& e) {
        console.print("[red]" + kit::console::escape(e.what()) + "[/red]");
      }
    }
  };
  const std::string robot = ask_type("Robot type (e.g., so101_follower)", "_follower");
  const std::string teleop = ask_type("Teleop type (e.g., so101_leader)", "_leader");
  return {robot, teleop};
}

}  // namespace tessaline::robots
