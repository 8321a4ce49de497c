#include "cli/ports.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <queue>
#include <thread>

#include "armkit/bus/motors_bus.hpp"
#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "kit/json/text.hpp"
#include "kit/log/logger.hpp"

namespace tessaline::ports {
namespace fs = std::filesystem;

const std::vector<std::string> SUPPORTED_MOTOR_TYPES = {"feetech", "dynamixel"};
const std::map<int, std::string> KNOWN_MOTOR_ADAPTERS = {
    {6790, "CH340 (Feetech/Waveshare)"}, {1027, "FTDI (Dynamixel)"}, {4292, "CP210x (Silicon Labs)"},
    {1659, "Prolific PL2303"},           {5446, "U2D2 (Dynamixel)"},
};

namespace {

kit::console::Console console;

std::optional<std::string> read_attr(const fs::path& path) {
  std::ifstream in(path);
  std::string value;
  if (!in || !std::getline(in, value)) return std::nullopt;
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

std::optional<int> hex_attr(const fs::path& path) {
  const auto text = read_attr(path);
  if (!text || text->empty()) return std::nullopt;
  try {
    return std::stoi(*text, nullptr, 16);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The USB identity behind /sys/class/tty/<name>: ttyUSB sits below a
// usb-serial node whose parent is the interface; ttyACM's device is the
// interface itself. The USB device is the interface's parent.
ListPortInfo sysfs_port(const fs::path& tty) {
  ListPortInfo info;
  info.device = "/dev/" + tty.filename().string();
  std::error_code ec;
  const fs::path device = fs::canonical(tty / "device", ec);
  if (ec) return info;
  const std::string subsystem = fs::read_symlink(device / "subsystem", ec).filename().string();
  fs::path interface;
  if (subsystem == "usb-serial") interface = device.parent_path();
  else if (subsystem == "usb") interface = device;
  else return info;
  const fs::path usb = interface.parent_path();
  info.vid = hex_attr(usb / "idVendor");
  info.pid = hex_attr(usb / "idProduct");
  info.serial_number = read_attr(usb / "serial");
  info.manufacturer = read_attr(usb / "manufacturer");
  const auto product = read_attr(usb / "product");
  const auto iface = read_attr(interface / "interface");
  if (product && iface) info.description = *product + " - " + *iface;
  else if (product) info.description = product;
  else info.description = tty.filename().string();
  return info;
}

std::vector<ListPortInfo> rig_ports() {
  std::vector<ListPortInfo> out;
  const char* manifest = std::getenv("TESSALINE_VIRTUAL_HARDWARE");
  if (!manifest || !*manifest) return out;
  std::ifstream in(manifest);
  if (!in) {
    kit::log::get_logger("tessaline.ports").warning("TESSALINE_VIRTUAL_HARDWARE names {}, which cannot be read", manifest);
    return out;
  }
  try {
    const auto doc = kit::json::Json::parse(in);
    for (const auto& p : doc.value("ports", kit::json::Json::array())) {
      ListPortInfo info;
      info.device = p.at("device").get<std::string>();
      if (p.contains("description")) info.description = p["description"].get<std::string>();
      if (p.contains("manufacturer")) info.manufacturer = p["manufacturer"].get<std::string>();
      if (p.contains("vid")) info.vid = p["vid"].get<int>();
      if (p.contains("pid")) info.pid = p["pid"].get<int>();
      if (p.contains("serial_number")) info.serial_number = p["serial_number"].get<std::string>();
      out.push_back(std::move(info));
    }
  } catch (const std::exception& e) {
    kit::log::get_logger("tessaline.ports").warning("The virtual hardware manifest {} is unusable: {}", manifest, e.what());
  }
  return out;
}

std::string hex4(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
  return buf;
}

}  // namespace

PortInfo PortInfo::from_list_port_info(const ListPortInfo& port) {
  PortInfo p;
  p.device = port.device;
  p.description = port.description && !port.description->empty() ? *port.description : "Unknown";
  p.manufacturer = port.manufacturer;
  p.vid = port.vid;
  p.pid = port.pid;
  p.serial_number = port.serial_number;
  return p;
}

std::vector<ListPortInfo> enumerate_serial_ports() {
  std::vector<ListPortInfo> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    if (fs::exists(entry.path() / "device")) out.push_back(sysfs_port(entry.path()));
  }
  for (auto& p : rig_ports()) out.push_back(std::move(p));
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.device < b.device; });
  return out;
}

std::vector<PortInfo> list_serial_ports(bool filter_usb) {
  std::vector<PortInfo> out;
  for (const auto& entry : enumerate_serial_ports()) {
    if (filter_usb && !entry.vid) continue;
    out.push_back(PortInfo::from_list_port_info(entry));
  }
  return out;
}

std::pair<std::optional<ScanResult>, std::optional<std::string>> scan_port_for_motors(
    const std::string& port, const std::optional<std::string>& motor_type) {
  const std::vector<std::string> families =
      motor_type && !motor_type->empty() ? std::vector<std::string>{*motor_type} : SUPPORTED_MOTOR_TYPES;
  for (const auto& family : families) {
    try {
      ScanResult result;
      if (family == "feetech") result = armkit::FeetechMotorsBus::scan_port(port);
      else if (family == "dynamixel") result = armkit::DynamixelMotorsBus::scan_port(port);
      else continue;
      if (!result.empty()) return {result, family};
    } catch (const std::exception&) {
      // Counts as no motors of this family on this port.
    }
  }
  return {std::nullopt, std::nullopt};
}

std::vector<PortInfo> find_robot_ports(const std::optional<std::string>& motor_type, bool verbose,
                                       std::optional<int> limit, bool filter_known_vids) {
  std::vector<PortInfo> all_ports = list_serial_ports(true);
  if (all_ports.empty()) {
    if (verbose) {
      console.print("[yellow]No USB serial ports found.[/yellow]");
      console.print("Make sure your robot is connected via USB.");
    }
    return {};
  }
  std::vector<PortInfo> candidates;
  if (filter_known_vids) {
    for (const auto& p : all_ports) {
      if (p.vid && KNOWN_MOTOR_ADAPTERS.count(*p.vid)) candidates.push_back(p);
    }
  }
  if (candidates.empty()) candidates = all_ports;
  if (verbose) {
    const std::string mode = motor_type ? "for " + *motor_type + " motors" : "(auto-detecting type)";
    console.print("\nScanning " + std::to_string(candidates.size()) + " port(s) " + mode + "...");
  }

  // One worker per candidate; results are taken in completion order.
  std::mutex mutex;
  std::condition_variable done;
  std::queue<size_t> finished;
  std::vector<std::pair<std::optional<ScanResult>, std::optional<std::string>>> results(candidates.size());
  std::vector<std::thread> workers;
  for (size_t i = 0; i < candidates.size(); ++i) {
    workers.emplace_back([&, i] {
      auto r = scan_port_for_motors(candidates[i].device, motor_type);
      std::lock_guard lock(mutex);
      results[i] = std::move(r);
      finished.push(i);
      done.notify_one();
    });
  }
  std::vector<PortInfo> found;
  for (size_t taken = 0; taken < candidates.size(); ++taken) {
    size_t i;
    {
      std::unique_lock lock(mutex);
      done.wait(lock, [&] { return !finished.empty(); });
      i = finished.front();
      finished.pop();
    }
    const auto& [scan, type] = results[i];
    if (!scan || scan->empty()) continue;
    candidates[i].baudrate = scan->begin()->first;
    candidates[i].motor_ids = scan->begin()->second;
    candidates[i].motor_type = type;
    found.push_back(candidates[i]);
    if (limit && *limit > 0 && static_cast<int>(found.size()) >= *limit) break;
  }
  for (auto& w : workers) w.join();  // every started scan ends before we return

  if (verbose) {
    if (!found.empty()) {
      kit::console::print(console, _create_ports_table(found, "Ports with Motors"));
      console.print("\nFound [green]" + std::to_string(found.size()) + "[/green] port(s) with motors");
    } else {
      console.print("[yellow]No motors found on any port.[/yellow]");
    }
  }
  return found;
}

kit::console::Table _create_ports_table(const std::vector<PortInfo>& ports, const std::string& title) {
  kit::console::Table table(title, "bold cyan");
  table.add_column("Device", "green");
  table.add_column("Description");
  table.add_column("VID:PID", "dim");
  table.add_column("Motor Type", "yellow");
  table.add_column("Motors", "magenta");
  for (const auto& p : ports) {
    table.add_row({kit::console::escape(p.device), kit::console::escape(p.description),
                   p.vid && *p.vid ? hex4(*p.vid) + ":" + hex4(p.pid.value_or(0)) : "-",
                   p.motor_type && !p.motor_type->empty() ? *p.motor_type : "-",
                   p.motor_ids && !p.motor_ids->empty() ? std::to_string(p.motor_ids->size()) : "-"});
  }
  return table;
}

_suppress_lerobot_logging::_suppress_lerobot_logging()
    : saved_level_(static_cast<int>(kit::log::get_logger("lerobot").level())) {
  kit::log::get_logger("lerobot").set_level(kit::log::Level::WARNING);
}

_suppress_lerobot_logging::~_suppress_lerobot_logging() {
  kit::log::get_logger("lerobot").set_level(static_cast<kit::log::Level>(saved_level_));
}

}  // namespace tessaline::ports
