// tessaline-rig: a virtual robot for demos, tests and users without one. A
// leader and a follower arm of simulated servos on pseudo-terminals (the
// real Feetech or Dynamixel protocol), and virtual cameras showing the
// follower's joints and a frame counter. A manifest lists the ports (with a
// USB identity) and cameras; point TESSALINE_VIRTUAL_HARDWARE at it. The
// servos' EEPROM is kept in a state file beside the manifest.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kit/cli/command_line.hpp"
#include "armkit/rig/fault_channel.hpp"
#include "armkit/robots/arm_kinds.hpp"
#include "armkit/robots/calibration.hpp"
#include "armkit/sim/arm_sim.hpp"
#include "armkit/sim/frame_file.hpp"
#include "kit/files/atomic_file.hpp"
#include "kit/json/text.hpp"

namespace {

using kit::json::Json;

constexpr uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
                                    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

// A rectangle, clipped to the picture.
void fill(kit::NdArray& img, size_t x0, size_t y0, size_t w, size_t h, const uint8_t rgb[3]) {
  const size_t height = img.shape()[0], width = img.shape()[1];
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = y0; y < std::min(y0 + h, height); ++y) {
    for (size_t x = x0; x < std::min(x0 + w, width); ++x) std::memcpy(p + (y * width + x) * 3, rgb, 3);
  }
}

// Six bars, one per follower joint (length = position), and the frame number.
kit::NdArray render(const armkit::SimulatedArm& follower, int camera, long frame, size_t width, size_t height) {
  kit::NdArray img(kit::DType::uint8, {height, width, 3});
  const uint8_t background[3] = {static_cast<uint8_t>(20 + camera * 40), 24, 40};
  fill(img, 0, 0, width, height, background);
  const uint8_t bar[3] = {90, 200, 120};
  const size_t bar_h = height / 14;
  for (size_t j = 0; j < 6; ++j) {
    const double pos = std::clamp(follower.present(j), 0, 4095) / 4095.0;
    fill(img, width / 10, height / 4 + j * (bar_h + bar_h / 3), static_cast<size_t>(pos * width * 0.8), bar_h, bar);
  }
  const uint8_t white[3] = {255, 255, 255};
  const std::string text = std::to_string(frame);
  const size_t scale = std::max<size_t>(2, height / 60);
  for (size_t i = 0; i < text.size(); ++i) {
    for (size_t row = 0; row < 5; ++row) {
      for (size_t col = 0; col < 3; ++col) {
        if ((kDigits[text[i] - '0'][row] >> (2 - col)) & 1) {
          const size_t x = 8 + (i * 4 + col) * scale, y = 8 + row * scale;
          fill(img, x, y, scale, scale, white);
        }
      }
    }
  }
  return img;
}

// Adapters without a USB serial number (many CH340 boards) have no entry for it.
Json port_entry(const armkit::SimulatedArm& arm, const std::string& robot, const std::string& role, bool serial) {
  const bool feetech = robot != "koch";
  Json entry{{"device", arm.port()},
             {"description", "Virtual servo bus (" + robot + " " + role + ")"},
             {"manufacturer", "Tessaline rig"},
             {"vid", feetech ? 0x1A86 : 0x0403},
             {"pid", feetech ? 0x55D3 : 0x6014}};
  if (serial) entry["serial_number"] = "RIG-" + robot + "-" + role;
  entry["role"] = role;
  return entry;
}

// The servos' EEPROM, kept beside the manifest so that what was written
// into them (ids, calibration) is still there when the rig starts again.
class EepromStore {
 public:
  EepromStore(std::filesystem::path path, std::string robot) : path_(std::move(path)), robot_(std::move(robot)) {}

  // Loads what was saved for this robot kind; false when there is nothing.
  bool load(armkit::SimulatedArm& leader, armkit::SimulatedArm& follower) {
    std::ifstream in(path_);
    if (!in) return false;
    try {
      const Json doc = Json::parse(in);
      if (doc.value("robot", "") != robot_) return false;
      leader.bus().load_eeprom(arm_from(doc.at("leader")));
      follower.bus().load_eeprom(arm_from(doc.at("follower")));
      return true;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tessaline-rig: ignoring %s: %s\n", path_.c_str(), e.what());
      return false;
    }
  }

  void save(armkit::SimulatedArm& leader, armkit::SimulatedArm& follower) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    const Json doc{{"robot", robot_}, {"leader", to_json(leader)}, {"follower", to_json(follower)}};
    kit::files::write_atomically(path_, kit::json::to_file(doc));
  }

 private:
  static std::vector<armkit::SimulatedBus::Eeprom> arm_from(const Json& servos) {
    std::vector<armkit::SimulatedBus::Eeprom> out;
    for (const auto& servo : servos) out.push_back(servo.get<armkit::SimulatedBus::Eeprom>());
    return out;
  }
  static Json to_json(armkit::SimulatedArm& arm) {
    Json servos = Json::array();
    for (const auto& e : arm.bus().saved_eeprom()) servos.push_back(Json(e));
    return servos;
  }

  std::filesystem::path path_;
  std::string robot_;
  std::mutex mutex_;
  bool closed_ = false;

 public:
  // No save starts after this returns, and none is still running.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
};

// Writes the framework's calibration into both arms' servos and its files
// for the ids rig_leader and rig_follower.
void calibrate(armkit::SimulatedArm& leader, armkit::SimulatedArm& follower) {
  for (auto* arm : {&leader, &follower}) {
    const std::string id = arm == &leader ? "rig_leader" : "rig_follower";
    const auto path = armkit::calibration_path(arm->type(), id);
    armkit::save_calibration(path, arm->calibrate_like_the_framework());
    std::printf("tessaline-rig: %s calibrated as '%s': %s\n", arm->type().c_str(), id.c_str(), path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Virtual robot hardware: simulated servo buses and cameras.", "tessaline-rig"};
  std::string robot = "so101", motion = "scripted", manifest = "rig-manifest.json";
  int cameras = 2, width = 640, height = 480, fps = 30;
  app.add_option("--robot", robot, "arm kind")->check(CLI::IsMember({"so100", "so101", "koch"}))->capture_default_str();
  app.add_option("--leader-motion", motion, "how the leader moves")
      ->check(CLI::IsMember({"scripted", "still"}))
      ->capture_default_str();
  app.add_option("--cameras", cameras, "virtual cameras")->check(CLI::Range(0, 4))->capture_default_str();
  app.add_option("--fps", fps, "camera frames per second")->check(CLI::Range(1, 60))->capture_default_str();
  app.add_option("--manifest", manifest, "where to write the manifest")->capture_default_str();
  bool calibrated = false, factory_reset = false, no_serial = false;
  app.add_flag("--calibrated", calibrated,
               "start both arms calibrated (offsets and limits in the servos) and write the matching calibration "
               "files for the ids rig_leader and rig_follower");
  app.add_flag("--factory-reset", factory_reset, "forget what earlier runs wrote into the servos' EEPROM");
  app.add_flag("--no-serial-numbers", no_serial, "publish the ports without USB serial numbers, like many CH340 boards");
  std::string faults;
  app.add_option("--faults", faults,
                 "make a named pipe at this path that takes faults on demand, one a line: 'camera-stall NAME "
                 "SECONDS' (front, wrist, ...), 'bus-silence leader|follower MS', 'wrong-id leader|follower N' "
                 "(the next N answers carry another servo's id), 'hold leader|follower JOINT READING' (a hand keeps "
                 "the joint where it reads READING), 'release leader|follower JOINT', 'only leader|follower JOINT "
                 "[new]' (the controller board wired to that motor only; new: a servo out of the box, id 1), "
                 "'all leader|follower' (wired to every motor again); e.g. echo 'bus-silence follower 150' > PATH");
  if (const auto status = kit::cli::parse(app, argc, argv)) return *status;

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);  // its terminal went away: clean up all the same
  // Faults to try a program against: SIGUSR1 makes the follower's servos
  // stop answering (a loose cable), SIGUSR2 brings them back.
  sigaddset(&stop_signals, SIGUSR1);
  sigaddset(&stop_signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const auto leader_motion = motion == "still" ? armkit::LeaderMotion::still : armkit::LeaderMotion::scripted;
  const auto manifest_path = std::filesystem::absolute(manifest);
  EepromStore eeprom(manifest_path.parent_path() / (manifest_path.stem().string() + "-eeprom.json"), robot);
  armkit::SimulatedArm leader(robot + "_leader", leader_motion);
  armkit::SimulatedArm follower(robot + "_follower");
  try {
    if (!factory_reset && eeprom.load(leader, follower)) std::printf("tessaline-rig: servo EEPROM restored from the last run\n");
    if (calibrated) calibrate(leader, follower);
    eeprom.save(leader, follower);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessaline-rig: %s\n", e.what());
    return 1;
  }
  for (auto* arm : {&leader, &follower}) {
    arm->bus().on_eeprom_saved([&] {
      try {
        eeprom.save(leader, follower);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "tessaline-rig: cannot keep the servos' EEPROM: %s\n", e.what());
      }
    });
  }
  const auto frames_dir = manifest_path.parent_path() / (manifest_path.stem().string() + "-cameras");
  std::filesystem::create_directories(frames_dir);
  std::vector<std::unique_ptr<armkit::FrameFileWriter>> writers;
  Json camera_list = Json::array();
  static const char* names[] = {"front", "wrist", "side", "top"};
  for (int c = 0; c < cameras; ++c) {
    const auto path = (frames_dir / names[c]).string();
    writers.push_back(std::make_unique<armkit::FrameFileWriter>(path, width, height));
    camera_list.push_back({{"name", names[c]}, {"index_or_path", "virtual:" + path}, {"width", width},
                           {"height", height}, {"fps", fps}});
  }
  const Json doc{{"robot", robot},
                 {"ports", {port_entry(leader, robot, "leader", !no_serial), port_entry(follower, robot, "follower", !no_serial)}},
                 {"cameras", camera_list}};
  kit::files::write_atomically(manifest_path, kit::json::to_file(doc));
  std::printf("tessaline-rig: %s leader on %s, follower on %s, %d camera(s)\n", robot.c_str(), leader.port().c_str(),
              follower.port().c_str(), cameras);
  std::printf("export TESSALINE_VIRTUAL_HARDWARE=%s\n", manifest_path.c_str());
  std::fflush(stdout);

  std::atomic<bool> running{true};
  std::vector<std::atomic<std::chrono::steady_clock::rep>> stalled_until(writers.size());
  std::thread camera_thread([&] {
    long frame = 0;
    auto next = std::chrono::steady_clock::now();
    while (running) {
      for (size_t c = 0; c < writers.size(); ++c) {
        if (std::chrono::steady_clock::now().time_since_epoch().count() < stalled_until[c]) continue;
        writers[c]->write(render(follower, static_cast<int>(c), frame, static_cast<size_t>(width), static_cast<size_t>(height)));
      }
      ++frame;
      next += std::chrono::microseconds(1'000'000 / fps);
      std::this_thread::sleep_until(next);
    }
  });
  // A hand on a joint: "hold ARM JOINT READING" keeps it where it reads
  // READING (a follower's motor cannot move it), "release ARM JOINT" lets go.
  const auto move_by_hand = [&](bool hold, const std::string& arm_name, std::istream& words) -> std::string {
    if (arm_name != "leader" && arm_name != "follower") throw std::invalid_argument("the arm is leader or follower");
    armkit::SimulatedArm& arm = arm_name == "leader" ? leader : follower;
    std::string joint;
    long reading = 0;
    if (!(words >> joint) || (hold && !(words >> reading))) {
      throw std::invalid_argument(hold ? "hold ARM JOINT READING" : "release ARM JOINT");
    }
    const auto& joints = armkit::arm_kind(arm.type()).joints;
    const auto it = std::find_if(joints.begin(), joints.end(), [&](const auto& j) { return j.first == joint; });
    if (it == joints.end()) throw std::invalid_argument("no joint " + joint);
    if (reading < -1'000'000 || reading > 1'000'000) throw std::invalid_argument("the reading is from -1000000 to 1000000");
    const auto index = static_cast<size_t>(it - joints.begin());
    if (!hold) {
      arm.release(index);
      return "the " + arm_name + "'s " + joint + " is let go";
    }
    arm.hold(index, static_cast<int32_t>(reading));
    return "the " + arm_name + "'s " + joint + " is held where it reads " + std::to_string(reading);
  };
  // Setting motors up one by one: "only ARM JOINT [new]" wires the board to
  // that motor only (new: a servo out of the box), "all ARM" to every motor.
  const auto rewire = [&](bool only, const std::string& arm_name, std::istream& words) -> std::string {
    if (arm_name != "leader" && arm_name != "follower") throw std::invalid_argument("the arm is leader or follower");
    armkit::SimulatedArm& arm = arm_name == "leader" ? leader : follower;
    if (!only) {
      arm.bus().connect_only(std::nullopt);
      return "the " + arm_name + "'s board is wired to every motor";
    }
    std::string joint, fresh;
    if (!(words >> joint) || ((words >> fresh) && fresh != "new")) throw std::invalid_argument("only ARM JOINT [new]");
    const auto& joints = armkit::arm_kind(arm.type()).joints;
    const auto it = std::find_if(joints.begin(), joints.end(), [&](const auto& j) { return j.first == joint; });
    if (it == joints.end()) throw std::invalid_argument("no joint " + joint);
    const auto index = static_cast<size_t>(it - joints.begin());
    if (fresh == "new") arm.bus().factory_reset(index);
    arm.bus().connect_only(index);
    return "the " + arm_name + "'s board is wired to its " + joint + " motor only" + (fresh == "new" ? ", a new one" : "");
  };
  std::unique_ptr<armkit::FaultChannel> fault_channel;
  if (!faults.empty()) {
    try {
      fault_channel = std::make_unique<armkit::FaultChannel>(faults, [&](const std::string& line) {
        std::istringstream words(line);
        std::string kind, target;
        if (!(words >> kind >> target)) throw std::invalid_argument("a fault and its target");
        if (kind == "hold" || kind == "release") return move_by_hand(kind == "hold", target, words);
        if (kind == "only" || kind == "all") return rewire(kind == "only", target, words);
        double amount = 0;
        if (!(words >> amount)) throw std::invalid_argument("a fault, a target and a number");
        if (!(amount >= 0 && amount <= 3'600'000)) throw std::invalid_argument("the number is from 0 to 3600000");
        if (kind == "camera-stall") {
          for (int c = 0; c < cameras; ++c) {
            if (target != names[c]) continue;
            stalled_until[static_cast<size_t>(c)] =
                (std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(amount)))
                    .time_since_epoch()
                    .count();
            return "camera " + target + " stalls for " + kit::json::py_float(amount) + " s";
          }
          throw std::invalid_argument("no camera " + target);
        }
        if (target != "leader" && target != "follower") throw std::invalid_argument("the arm is leader or follower");
        armkit::SimulatedBus& bus = (target == "leader" ? leader : follower).bus();
        if (kind == "bus-silence") {
          bus.silence_for(std::chrono::milliseconds(static_cast<long>(amount)));
          return "the " + target + "'s servos are silent for " + std::to_string(static_cast<long>(amount)) + " ms";
        }
        if (kind == "wrong-id") {
          bus.misaddress_answers(static_cast<int>(amount));
          return "the " + target + "'s next " + std::to_string(static_cast<int>(amount)) + " answers carry another servo's id";
        }
        throw std::invalid_argument("faults are camera-stall, bus-silence, wrong-id, hold, release, only and all");
      });
    } catch (const std::runtime_error& e) {
      std::fprintf(stderr, "tessaline-rig: %s\n", e.what());
      eeprom.close();
      running = false;
      camera_thread.join();
      writers.clear();
      std::filesystem::remove(manifest_path);
      std::filesystem::remove_all(frames_dir);
      return 1;
    }
    std::printf("tessaline-rig: faults on demand through %s\n", faults.c_str());
    std::fflush(stdout);
  }
  for (int signal = 0; sigwait(&stop_signals, &signal) == 0;) {
    if (signal == SIGUSR1) {
      follower.bus().drop_answers(std::numeric_limits<int>::max());
      std::printf("tessaline-rig: the follower's servos stop answering (SIGUSR2 brings them back)\n");
    } else if (signal == SIGUSR2) {
      follower.bus().drop_answers(0);
      std::printf("tessaline-rig: the follower's servos answer again\n");
    } else {
      break;
    }
    std::fflush(stdout);
  }
  fault_channel.reset();
  eeprom.close();  // the arms go before the store: no bus may still be saving
  running = false;
  camera_thread.join();
  writers.clear();  // removes the frame files
  std::filesystem::remove(manifest_path);
  std::filesystem::remove_all(frames_dir);
  std::printf("tessaline-rig: stopped, devices removed\n");
  return 0;
}
