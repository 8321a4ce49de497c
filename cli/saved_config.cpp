#include "cli/saved_config.hpp"

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <stdexcept>

#include "cli/ports.hpp"
#include "kit/files/atomic_file.hpp"
#include "kit/console/console.hpp"
#include "kit/console/markup.hpp"
#include "tessaline/config.hpp"

namespace tessaline::ports {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

kit::console::Console console;

Json read_json(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  try {
    return Json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(path.string() + " is not valid JSON: " + e.what());
  }
}

// Written to a temporary file in the same directory and renamed over the
// old one: a crash mid-write leaves the previous file, never half of one.
void write_json(const fs::path& path, const Json& value) {
  kit::files::write_atomically(path, kit::json::to_file(value));
}

Json opt(const std::optional<std::string>& v) { return v ? Json(*v) : Json(); }
Json opt(const std::optional<int>& v) { return v ? Json(*v) : Json(); }

// Keys of `entry` must be exactly fields of the record: a hand-edited file
// with a typo fails loudly instead of losing a value.
void check_keys(const Json& entry, const char* record, const std::set<std::string>& fields,
                const std::set<std::string>& required) {
  if (!entry.is_object()) throw std::invalid_argument(std::string(record) + " entry is not an object");
  for (const auto& [key, value] : entry.items()) {
    if (!fields.count(key)) throw std::invalid_argument(std::string(record) + " got an unexpected field '" + key + "'");
  }
  for (const auto& key : required) {
    if (!entry.contains(key)) throw std::invalid_argument(std::string(record) + " is missing the field '" + key + "'");
  }
}

std::optional<std::string> opt_text(const Json& e, const char* key) {
  return e.contains(key) && !e[key].is_null() ? std::optional<std::string>(e[key].get<std::string>()) : std::nullopt;
}
std::optional<int> opt_int(const Json& e, const char* key) {
  if (!e.contains(key) || e[key].is_null()) return std::nullopt;
  const Json& v = e[key];
  if (!v.is_number_integer()) throw std::invalid_argument(std::string("'") + key + "' is not a whole number");
  const auto n = v.is_number_unsigned() ? static_cast<long double>(v.get<unsigned long long>())
                                        : static_cast<long double>(v.get<long long>());
  if (n < 0 || n > 1'000'000) throw std::invalid_argument(std::string("'") + key + "' is out of range: " + v.dump());
  return static_cast<int>(n);
}

// Reading a saved file: whatever is wrong in it, the error names the file
// and how to start over.
template <typename Decode>
auto decoding(const fs::path& path, const std::string& way_out, Decode&& decode) {
  try {
    return decode(read_json(path));
  } catch (const std::exception& e) {
    const std::string what = e.what();
    const std::string text = what.starts_with(path.string()) ? what : path.string() + ": " + what;
    throw std::runtime_error(text + "\n" + way_out);
  }
}

const std::string kResetSetup = "Run `tessaline reset` to start over.";
std::string reset_ports(const fs::path& path) {
  return "Fix or delete " + path.string() + " (the ports saved by `tessaline configure`) to start over.";
}

Json to_json(const RobotPortConfig& c) {
  return {{"port", c.port}, {"serial_number", opt(c.serial_number)}, {"description", opt(c.description)},
          {"motor_count", opt(c.motor_count)}};
}

RobotPortConfig robot_port_from(const Json& e) {
  check_keys(e, "RobotPortConfig", {"port", "serial_number", "description", "motor_count"}, {"port"});
  return {e["port"].get<std::string>(), opt_text(e, "serial_number"), opt_text(e, "description"), opt_int(e, "motor_count")};
}

Json to_json(const PortRoleConfig& c) {
  return {{"serial_number", c.serial_number}, {"last_port", c.last_port}, {"motor_type", c.motor_type},
          {"motor_count", opt(c.motor_count)}};
}

PortRoleConfig port_role_from(const Json& e) {
  check_keys(e, "PortRoleConfig", {"serial_number", "last_port", "motor_type", "motor_count"},
             {"serial_number", "last_port", "motor_type"});
  return {e["serial_number"].get<std::string>(), e["last_port"].get<std::string>(), e["motor_type"].get<std::string>(),
          opt_int(e, "motor_count")};
}

}  // namespace

fs::path get_config_dir() { return fs::path(config::HF_LEROBOT_HOME) / "tessaline"; }

fs::path get_ports_config_path() {
  fs::create_directories(get_config_dir());
  return get_config_dir() / "ports.json";
}

fs::path get_setup_config_path() {
  fs::create_directories(get_config_dir());
  return get_config_dir() / "setup.json";
}

fs::path save_port_config(const std::string& robot_id, const RobotPortConfig& port_config) {
  const fs::path path = get_ports_config_path();
  // Read, change, write: one program at a time, so no one's entry is lost.
  const kit::files::FileLock lock(path.parent_path() / ".ports.json.lock");
  Json all = fs::exists(path) ? decoding(path, reset_ports(path), [&](Json j) {
    if (!j.is_object()) throw std::runtime_error(path.string() + " does not hold an object");
    return j;
  })
                              : Json::object();
  all[robot_id] = to_json(port_config);
  write_json(path, all);
  return path;
}

std::optional<RobotPortConfig> load_port_config(const std::string& robot_id) {
  const fs::path path = get_config_dir() / "ports.json";
  if (!fs::exists(path)) return std::nullopt;
  return decoding(path, reset_ports(path), [&](const Json& all) -> std::optional<RobotPortConfig> {
    if (!all.is_object()) throw std::runtime_error("it does not hold an object");
    if (!all.contains(robot_id)) return std::nullopt;
    return robot_port_from(all.at(robot_id));
  });
}

std::vector<std::pair<std::string, RobotPortConfig>> list_saved_configs() {
  std::vector<std::pair<std::string, RobotPortConfig>> out;
  const fs::path path = get_config_dir() / "ports.json";
  if (!fs::exists(path)) return out;
  return decoding(path, reset_ports(path), [&](const Json& all) {
    if (!all.is_object()) throw std::runtime_error("it does not hold an object");
    for (const auto& [id, entry] : all.items()) out.emplace_back(id, robot_port_from(entry));
    return out;
  });
}

std::optional<std::string> get_port_for_robot(const std::string& robot_id) {
  auto record = load_port_config(robot_id);
  if (!record) return std::nullopt;
  const auto ports = list_serial_ports(false);
  for (const auto& p : ports) {
    if (p.device == record->port) return record->port;
  }
  if (!record->serial_number || record->serial_number->empty()) return std::nullopt;
  for (const auto& p : ports) {
    if (p.serial_number == record->serial_number) {
      console.print("[yellow]Note:[/yellow] " + kit::console::escape(robot_id) + " moved from " +
                    kit::console::escape(record->port) + " to " + kit::console::escape(p.device));
      record->port = p.device;
      save_port_config(robot_id, *record);
      return p.device;
    }
  }
  return std::nullopt;
}

fs::path save_capture_setup(const CaptureSetup& setup) {
  const fs::path path = get_setup_config_path();
  Json selected = Json::array();
  for (const auto& s : setup.selected_cameras) selected.push_back(s);
  write_json(path, Json{{"robot_type", setup.robot_type},
                        {"teleop_type", setup.teleop_type},
                        {"leader", to_json(setup.leader)},
                        {"follower", to_json(setup.follower)},
                        {"cameras", setup.cameras ? *setup.cameras : Json()},
                        {"selected_cameras", selected}});
  console.print("[dim]Config saved to " + kit::console::escape(path.string()) + "[/dim]");
  return path;
}

std::optional<CaptureSetup> load_capture_setup() {
  const fs::path path = get_config_dir() / "setup.json";
  if (!fs::exists(path)) return std::nullopt;
  return decoding(path, kResetSetup, [](const Json& data) {
    if (!data.is_object()) throw std::runtime_error("it does not hold an object");
    CaptureSetup setup;
    setup.robot_type = data.at("robot_type").get<std::string>();
    setup.teleop_type = data.at("teleop_type").get<std::string>();
    setup.leader = port_role_from(data.at("leader"));
    setup.follower = port_role_from(data.at("follower"));
    if (data.contains("cameras") && !data["cameras"].is_null()) setup.cameras = data["cameras"];
    if (data.contains("selected_cameras")) setup.selected_cameras = data["selected_cameras"].get<std::vector<std::string>>();
    return setup;
  });
}

namespace {

// An adapter without a serial number cannot be told apart from another of
// its kind, so it is taken to be at its last port when a device is still
// there and answers with the saved motor family and number of motors.
bool still_at_last_port(const PortRoleConfig& role, const std::vector<PortInfo>& present) {
  if (role.last_port.empty() || role.motor_type.empty() || !role.motor_count) return false;
  const bool exists = std::any_of(present.begin(), present.end(), [&](const PortInfo& p) { return p.device == role.last_port; });
  if (!exists) return false;
  const auto [found, type] = scan_port_for_motors(role.last_port, role.motor_type);
  return found && !found->empty() && static_cast<int>(found->begin()->second.size()) == *role.motor_count;
}

}  // namespace

std::pair<std::optional<std::string>, std::optional<std::string>> resolve_setup_ports(CaptureSetup& setup) {
  const auto present = list_serial_ports(true);
  std::map<std::string, std::string> by_serial;
  for (const auto& p : present) {
    if (p.serial_number && !p.serial_number->empty()) by_serial[*p.serial_number] = p.device;
  }
  // Found by serial number at once; a serial-less arm needs a scan, and two
  // of those run side by side, one port each.
  auto find = [&](const PortRoleConfig& role) {
    if (role.serial_number.empty()) {
      return std::async(std::launch::async, [&role, &present]() -> std::optional<std::string> {
        return still_at_last_port(role, present) ? std::optional<std::string>(role.last_port) : std::nullopt;
      });
    }
    const auto it = by_serial.find(role.serial_number);
    std::promise<std::optional<std::string>> known;
    known.set_value(it == by_serial.end() ? std::nullopt : std::optional<std::string>(it->second));
    return known.get_future();
  };
  auto robot_search = find(setup.follower);
  auto teleop_search = find(setup.leader);
  const auto robot_port = robot_search.get();
  const auto teleop_port = teleop_search.get();
  bool changed = false;
  if (robot_port && *robot_port != setup.follower.last_port) {
    setup.follower.last_port = *robot_port;
    changed = true;
  }
  if (teleop_port && *teleop_port != setup.leader.last_port) {
    setup.leader.last_port = *teleop_port;
    changed = true;
  }
  if (changed) save_capture_setup(setup);
  return {robot_port, teleop_port};
}

}  // namespace tessaline::ports
