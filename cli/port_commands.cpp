#include "cli/port_commands.hpp"

#include "cli/invocation.hpp"
#include "cli/ports.hpp"
#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/panel.hpp"
#include "kit/console/prompt.hpp"
#include "kit/console/table.hpp"

namespace tessaline::ports {
namespace {

kit::console::Console console;
using kit::console::escape;

RobotPortConfig record_for(const PortInfo& p) {
  std::optional<int> count;
  if (p.motor_ids && !p.motor_ids->empty()) count = static_cast<int>(p.motor_ids->size());
  return {p.device, p.serial_number, p.description, count};
}

RobotPortConfig save(const std::string& robot_id, const PortInfo& port) {
  const RobotPortConfig record = record_for(port);
  save_port_config(robot_id, record);
  console.print("\n[green]Saved![/green] You can now use: [cyan]" + escape(tessaline::cli::command_name()) + " capture --robot.id=" + escape(robot_id) +
                "[/cyan]");
  return record;
}

}  // namespace

std::optional<RobotPortConfig> interactive_port_selection(const std::string& robot_id,
                                                          const std::optional<std::string>& motor_type,
                                                          std::istream& answers) {
  kit::console::print(console, {"Configuring port for [cyan]" + escape(robot_id) + "[/cyan]", "Port Configuration", "blue"});
  const auto ports = find_robot_ports(motor_type, true);
  if (ports.empty()) {
    console.print("\n[red]No USB serial ports found![/red]");
    console.print("Make sure your robot is connected via USB.");
    return std::nullopt;
  }
  if (ports.size() == 1) {
    console.print("\n[green]Found one port:[/green] " + escape(ports[0].device));
    if (!kit::console::confirm(console, "Use this port?", true, answers)) return std::nullopt;
    return save(robot_id, ports[0]);
  }
  console.print("\n[yellow]Multiple ports found. Select one:[/yellow]");
  std::vector<std::string> allowed;
  for (size_t i = 0; i < ports.size(); ++i) {
    const auto& p = ports[i];
    const std::string note =
        p.motor_ids && !p.motor_ids->empty() ? " (" + std::to_string(p.motor_ids->size()) + " motors)" : "";
    console.print("  [" + std::to_string(i + 1) + "] " + escape(p.device) + " - " + escape(p.description) + note);
    allowed.push_back(std::to_string(i + 1));
  }
  console.print("  [0] Cancel");
  allowed.push_back("0");
  const std::string answer = kit::console::ask(console, "Enter number", {allowed, std::nullopt, false}, answers);
  if (answer == "0") return std::nullopt;
  return save(robot_id, ports[static_cast<size_t>(std::stoi(answer) - 1)]);
}

void show_saved_configs() {
  const auto configs = list_saved_configs();
  if (configs.empty()) {
    console.print("[yellow]No saved port configurations.[/yellow]");
    console.print("Use [cyan]tessaline configure <robot_id>[/cyan] to set up a robot.");
    return;
  }
  kit::console::Table table("Saved Port Configurations", "bold cyan");
  table.add_column("Robot ID", "green");
  table.add_column("Port");
  table.add_column("Description", "dim");
  table.add_column("Motors", "magenta");
  table.add_column("Status");
  for (const auto& [robot_id, config] : configs) {
    const std::string status = get_port_for_robot(robot_id) ? "[green]OK[/green]" : "[red]NOT FOUND[/red]";
    const std::string motors = config.motor_count && *config.motor_count ? std::to_string(*config.motor_count) : "-";
    const std::string description = config.description && !config.description->empty() ? *config.description : "-";
    table.add_row({escape(robot_id), escape(config.port), escape(description), motors, status});
  }
  kit::console::print(console, table);
}

}  // namespace tessaline::ports
