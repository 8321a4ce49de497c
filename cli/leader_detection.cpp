#include "cli/leader_detection.hpp"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

#include "armkit/bus/motors_bus.hpp"
#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/console/prompt.hpp"
#include "kit/console/spinner.hpp"

namespace tessaline::ports {

namespace {
std::pair<int, int> present_position_of(std::string_view model) {
  const auto& reg = armkit::control_table(model).at("Present_Position");
  return {reg.address, reg.size};
}
}  // namespace

const std::map<std::string, std::pair<int, int>> _PRESENT_POSITION_ADDR = {
    {"feetech", present_position_of("sts3215")}, {"dynamixel", present_position_of("xl330-m077")}};

namespace {

kit::console::Console console;
using Positions = std::map<int, long>;

std::unique_ptr<armkit::MotorsBus> open_bus(const PortInfo& port) {
  std::unique_ptr<armkit::MotorsBus> bus;
  if (port.motor_type == "feetech") bus = std::make_unique<armkit::FeetechMotorsBus>(port.device);
  else bus = std::make_unique<armkit::DynamixelMotorsBus>(port.device);
  bus->_connect(false);
  if (port.baudrate) bus->set_baudrate(*port.baudrate);
  return bus;
}

Positions read_positions(armkit::MotorsBus& bus, const std::vector<int>& ids, std::pair<int, int> reg) {
  Positions out;
  for (const int id : ids) {
    try {
      out[id] = static_cast<long>(std::get<0>(bus._read(static_cast<uint16_t>(reg.first), reg.second, static_cast<uint8_t>(id))));
    } catch (const std::exception&) {
      // This motor is simply missing from this sample.
    }
  }
  return out;
}

void track(const std::vector<int>& ids, const Positions& initial, const Positions& now, Positions& largest) {
  for (const int id : ids) {
    if (!initial.count(id) || !now.count(id)) continue;
    largest[id] = std::max(largest[id], std::labs(now.at(id) - initial.at(id)));
  }
}

long total(const Positions& largest) {
  long sum = 0;
  for (const auto& [id, d] : largest) sum += d;
  return sum;
}

}  // namespace

int _leader_from_motion(long total_a, long total_b, int threshold) {
  if (total_a > threshold && total_a > total_b) return 0;
  if (total_b > threshold && total_b > total_a) return 1;
  return -1;
}

std::pair<PortInfo, PortInfo> detect_leader_by_motion(const PortInfo& a, const PortInfo& b, double duration,
                                                      int threshold, std::istream& answers) {
  console.print("\n[bold cyan]Move the LEADER arm now[/bold cyan] (the arm you control by hand).\nKeep the other arm still.");
  if (!a.motor_type || a.motor_type->empty() || !b.motor_type || b.motor_type->empty()) {
    throw std::invalid_argument("Both ports must have a known motor_type before motion detection");
  }
  const auto reg_a = _PRESENT_POSITION_ADDR.at(*a.motor_type);
  const auto reg_b = _PRESENT_POSITION_ADDR.at(*b.motor_type);
  const std::vector<int> ids_a = a.motor_ids.value_or(std::vector<int>{});
  const std::vector<int> ids_b = b.motor_ids.value_or(std::vector<int>{});

  Positions largest_a, largest_b;
  {
    _suppress_lerobot_logging quiet;  // restored on every way out
    // Both ports are released on every path, also when opening B fails.
    auto bus_a = open_bus(a);
    auto bus_b = open_bus(b);
    struct Release {
      armkit::MotorsBus& first;
      armkit::MotorsBus& second;
      ~Release() {
        first.port_handler.closePort();
        second.port_handler.closePort();
      }
    } release{*bus_a, *bus_b};

    const Positions initial_a = read_positions(*bus_a, ids_a, reg_a);
    const Positions initial_b = read_positions(*bus_b, ids_b, reg_b);
    for (const int id : ids_a) largest_a[id] = 0;
    for (const int id : ids_b) largest_b[id] = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(duration);
    kit::console::Status spinner(console, "[cyan]Detecting motion...");
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const Positions now_a = read_positions(*bus_a, ids_a, reg_a);
      const Positions now_b = read_positions(*bus_b, ids_b, reg_b);
      track(ids_a, initial_a, now_a, largest_a);
      track(ids_b, initial_b, now_b, largest_b);
    }
  }
  switch (_leader_from_motion(total(largest_a), total(largest_b), threshold)) {
    case 0:
      console.print("[green]Detected leader:[/green] " + kit::console::escape(a.device));
      return {a, b};
    case 1:
      console.print("[green]Detected leader:[/green] " + kit::console::escape(b.device));
      return {b, a};
    default:
      break;
  }
  console.print("[yellow]Could not detect motion automatically.[/yellow]");
  return _manual_role_picker(a, b, answers);
}

std::pair<PortInfo, PortInfo> _manual_role_picker(const PortInfo& a, const PortInfo& b, std::istream& answers) {
  console.print("\nWhich port is the [bold]LEADER[/bold] (the arm you move by hand)?");
  console.print("  [1] " + kit::console::escape(a.device));
  console.print("  [2] " + kit::console::escape(b.device));
  const std::string choice = kit::console::ask(console, "Selection", {{"1", "2"}, std::nullopt}, answers);
  return choice == "1" ? std::pair{a, b} : std::pair{b, a};
}

}  // namespace tessaline::ports
