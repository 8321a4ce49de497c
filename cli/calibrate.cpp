#include "cli/calibrate.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "armkit/robots/arm_setup.hpp"
#include "cli/console.hpp"
#include "cli/live_table.hpp"
#include "cli/saved_config.hpp"
#include "kit/console/markup.hpp"
#include "kit/loop/interrupt.hpp"

namespace tessaline::cli {
namespace {

using kit::console::escape;
using namespace std::chrono_literals;

constexpr int kMiddle = 2047;  // where half-turn homing puts the middle of the travel
constexpr int kFeetechMaxOffset = 2047;

std::string arm_name(const armkit::ServoArm& arm) {
  return arm.type() + (arm.id() ? " '" + *arm.id() + "'" : "");
}

// Present positions with a few retries, as a sweep may catch a busy bus.
std::map<std::string, int32_t> read_positions(armkit::MotorsBus& bus, const std::vector<std::string>& motors) {
  for (int attempt = 0;; ++attempt) {
    try {
      return bus.sync_read("Present_Position", motors);
    } catch (const armkit::BusError&) {
      if (attempt >= 4) throw;
    }
  }
}

void set_half_turn_homings(armkit::ServoArm& arm) {
  armkit::MotorsBus& bus = arm.bus();
  const auto motors = arm.joint_names();
  for (const auto& m : motors) {
    bus.write("Homing_Offset", m, 0);
    bus.write("Min_Position_Limit", m, 0);
    bus.write("Max_Position_Limit", m, 4095);
  }
  const auto raw = read_positions(bus, motors);
  for (const auto& m : motors) {
    // Feetech: present = actual - offset; Dynamixel: present = actual + offset.
    const int offset = bus.family == armkit::ServoFamily::feetech ? raw.at(m) - kMiddle : kMiddle - raw.at(m);
    if (bus.family == armkit::ServoFamily::feetech && std::abs(offset) > kFeetechMaxOffset) {
      throw std::runtime_error(m + " is at the very end of its turn (" + std::to_string(raw.at(m)) +
                               "): move it nearer the middle and calibrate again");
    }
    bus.write("Homing_Offset", m, offset);
  }
}

// How long a calibration cut off by a silent bus waits for it to answer again.
constexpr auto kBusPatience = 30s;

bool every_motor_answers(armkit::MotorsBus& bus) {
  try {
    for (const auto& [name, motor] : bus.motors) {
      if (!bus.ping(motor.id)) return false;
    }
    return true;
  } catch (const armkit::BusError&) {  // a garbled answer: not yet
    return false;
  }
}

// Waits until every motor answers a ping again or `until` passes, counting
// down on the terminal; Ctrl+C gives up (kit::Interrupted).
bool wait_for_answers(armkit::ServoArm& arm, std::chrono::steady_clock::time_point until) {
  console.print("[yellow]The servos of " + escape(arm_name(arm)) +
                " do not answer: waiting for them to put their registers back (Ctrl+C gives up)[/yellow]");
  long shown = -1;
  for (;;) {
    kit::throw_if_interrupted();
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(until - std::chrono::steady_clock::now()).count();
    if (left != shown) {
      console.write("\r  " + std::to_string(std::max(0L, left)) + " s left ");
      std::fflush(console.stream());
      shown = left;
    }
    if (every_motor_answers(arm.bus())) {
      console.write("\r  they answer again.\n");
      return true;
    }
    if (left <= 0) {
      console.write("\n");
      return false;
    }
    std::this_thread::sleep_for(200ms);
  }
}

// Writes the registers back; when the bus has gone silent, waits for it and
// goes on where the writing stopped. `done` counts what is back.
void put_back(armkit::ServoArm& arm, const armkit::RegisterSnapshot& before, size_t& done) {
  const auto until = std::chrono::steady_clock::now() + kBusPatience;
  for (;;) {
    try {
      before.restore(arm.bus(), done);
      return;
    } catch (const armkit::BusError&) {
      if (!wait_for_answers(arm, until)) throw;
    }
  }
}

std::string calibrate_command(const armkit::ServoArm& arm) {
  const std::string role = arm.type().ends_with("_follower") ? "robot" : "teleop";
  return "tessaline calibrate --" + role + ".type " + arm.type() + (arm.id() ? " --" + role + ".id " + *arm.id() : "");
}

// Everything a calibration writes is undone when it does not finish: an
// error, a joint that did not move, Ctrl+C, a bus that went silent for a
// while. The arm is left as it was found, or the terminal says what is not.
template <typename Work>
auto undone_on_failure(armkit::ServoArm& arm, Work&& work) {
  const auto before = armkit::RegisterSnapshot::take(arm.bus());
  try {
    return work();
  } catch (...) {
    size_t done = 0;
    try {
      put_back(arm, before, done);
      arm.close_as_is();
      console.print("[yellow]The servos of " + escape(arm_name(arm)) + " are as they were before.[/yellow]");
    } catch (const std::exception& e) {
      const bool gave_up = dynamic_cast<const kit::Interrupted*>(&e) != nullptr;
      console.print("[red]Could not put the servos of " + escape(arm_name(arm)) + " back as they were: " +
                    escape(gave_up ? "stopped by Ctrl+C" : e.what()) + "[/red]");
      console.print("These registers may still hold what the calibration wrote:");
      for (const auto& line : before.not_restored(done)) console.print("  " + escape(line));
      console.print("Once the arm answers again, run " + escape(calibrate_command(arm)) +
                    " and calibrate it (or write its saved calibration back), so that its servos and its file agree.");
    }
    throw;
  }
}

armkit::Calibration calibrate_steps(armkit::ServoArm& arm, const std::function<void()>& enter,
                                    const std::function<bool()>& enter_pressed) {
  armkit::MotorsBus& bus = arm.bus();
  const auto motors = arm.joint_names();
  const bool koch = arm.type().starts_with("koch");
  console.print("\nRunning calibration of " + escape(arm_name(arm)));
  // As the framework's calibrate command: the arm is configured (return
  // delay, accelerations, the feedback mode sessions use) before anything is recorded.
  arm.configure();
  arm.set_torque(false);
  for (const auto& m : motors) bus.write("Operating_Mode", m, koch ? 4 : 0);  // Koch: extended position
  if (arm.type() == "koch_leader") bus.write("Drive_Mode", "elbow_flex", 1);

  console.write("Move " + escape(arm_name(arm)) + " to the middle of its range of motion and press ENTER....");
  std::fflush(console.stream());
  enter();
  set_half_turn_homings(arm);

  std::vector<std::string> swept;
  for (const auto& m : motors) {
    if (!armkit::full_turn_joint(arm.type(), m)) swept.push_back(m);
  }
  console.print("Move all joints sequentially through their entire ranges of motion.\n"
                "Recording positions. Press ENTER to stop...");
  auto now = read_positions(bus, swept);
  auto lows = now, highs = now;
  LiveTable table(console, {"NAME", "MIN", "POS", "MAX"});
  auto draw = [&] {
    std::vector<std::vector<std::string>> rows;
    for (const auto& m : swept) {
      rows.push_back({m, std::to_string(lows.at(m)), std::to_string(now.at(m)), std::to_string(highs.at(m))});
    }
    table.draw(rows);
  };
  auto last_draw = std::chrono::steady_clock::now();
  draw();
  while (!enter_pressed()) {
    kit::throw_if_interrupted();
    std::this_thread::sleep_for(20ms);
    now = read_positions(bus, swept);
    for (const auto& m : swept) {
      lows[m] = std::min(lows[m], now[m]);
      highs[m] = std::max(highs[m], now[m]);
    }
    if (std::chrono::steady_clock::now() - last_draw > 100ms) {
      draw();
      last_draw = std::chrono::steady_clock::now();
    }
  }
  table.line_echoed();  // the ENTER the terminal echoed below the table
  draw();
  table.finish();
  for (const auto& m : swept) {
    if (lows[m] == highs[m]) {
      throw std::runtime_error(m + " did not move while recording: move every joint through its whole range");
    }
  }

  const auto offsets = bus.sync_read("Homing_Offset", motors);
  armkit::Calibration calibration;
  for (const auto& m : motors) {
    armkit::MotorCalibration c;
    c.id = bus.motors.at(m).id;
    c.drive_mode = arm.type() == "koch_leader" && m == "elbow_flex" ? 1 : 0;
    c.homing_offset = offsets.at(m);
    c.range_min = armkit::full_turn_joint(arm.type(), m) ? 0 : lows.at(m);
    c.range_max = armkit::full_turn_joint(arm.type(), m) ? 4095 : highs.at(m);
    calibration.emplace_back(m, c);
  }
  armkit::write_calibration(bus, calibration);
  return calibration;
}

// A line of input; Ctrl+C ends the wait (the handler lets reads restart, so poll).
std::string read_line() {
  for (;;) {
    kit::throw_if_interrupted();
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) break;
  }
  std::string line;
  if (!std::getline(std::cin, line)) throw std::runtime_error("end of input while calibrating");
  return line;
}

// The framework compares the answer after stripping and lower-casing it.
std::string normalised_answer(std::string answer) {
  const size_t first = answer.find_first_not_of(" \t\r\n"), last = answer.find_last_not_of(" \t\r\n");
  answer = first == std::string::npos ? "" : answer.substr(first, last - first + 1);
  std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
  return answer;
}

}  // namespace

armkit::Calibration calibrate_arm(armkit::ServoArm& arm, const std::function<void()>& enter,
                                  const std::function<bool()>& enter_pressed) {
  const auto calibration = undone_on_failure(arm, [&] { return calibrate_steps(arm, enter, enter_pressed); });
  const auto file = arm.calibration_save_path();
  armkit::save_calibration(file, calibration);
  arm.use_calibration(calibration);
  console.print("Calibration saved to " + escape(file.string()));
  return calibration;
}

armkit::Calibration calibrate_arm_on_terminal(armkit::ServoArm& arm) {
  auto enter = [] { read_line(); };
  auto enter_pressed = [&] {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    enter();
    return true;
  };
  return calibrate_arm(arm, enter, enter_pressed);
}

armkit::Calibration calibrate_or_restore(armkit::ServoArm& arm) {
  const auto file = arm.calibration_file();
  if (std::filesystem::exists(file)) {
    console.write("Press ENTER to use provided calibration file associated with the id " + escape(arm.id().value_or("None")) +
                  ", or type 'c' and press ENTER to run calibration: ");
    std::fflush(console.stream());
    if (normalised_answer(read_line()) != "c") {
      const auto calibration = armkit::load_calibration(file);
      undone_on_failure(arm, [&] {
        arm.configure();
        armkit::write_calibration(arm.bus(), calibration);
        return 0;
      });
      arm.use_calibration(calibration);
      console.print("Calibration from " + escape(file.string()) + " written to the servos of " + escape(arm_name(arm)));
      // Found in a folder older versions of the framework used: today's looks only in its own.
      const auto current = arm.calibration_save_path();
      if (file != current) {
        armkit::save_calibration(current, calibration);
        console.print("Calibration also saved to " + escape(current.string()) + ", where the robot framework looks now");
      }
      return calibration;
    }
  }
  return calibrate_arm_on_terminal(arm);
}

void run_calibrate(const ArmOptions& options) {
  const bool follower = options.robot_type.has_value();
  if (follower == options.teleop_type.has_value()) {
    throw std::invalid_argument("name one arm: --robot.type TYPE [--robot.id ID] or --teleop.type TYPE [--teleop.id ID]");
  }
  const std::string type = follower ? *options.robot_type : *options.teleop_type;
  const auto& id = follower ? options.robot_id : options.teleop_id;
  // Checks the type before any hardware is touched.
  if (follower) armkit::RobotConfig::get_choice_class(type);
  else armkit::TeleoperatorConfig::get_choice_class(type);
  kit::install_interrupt_handler();

  std::optional<std::string> port = id ? ports::get_port_for_robot(*id) : std::nullopt;
  if (!port) {
    const CaptureConfig config = _resolve_capture_config();
    port = follower ? config.robot_port : config.teleop_port;
  }
  armkit::ArmSettings settings;
  settings.gripper_open_pos = options.teleop.gripper_open_pos.value_or(50.0);
  armkit::ServoArm arm(type, *port, id, follower, {}, settings);
  arm.connect(false);
  calibrate_or_restore(arm);
  arm.disconnect();
}

}  // namespace tessaline::cli
