// tessaline-rig as a user runs it: its manifest leads to servo buses that a
// scan finds and to virtual cameras that show the follower; stopping it
// removes everything it made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/serial/serial_port.hpp"
#include "armkit/cameras/camera.hpp"
#include "armkit/robots/arm_kinds.hpp"
#include "armkit/robots/calibration.hpp"
#include "kit/json/text.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

kit::json::Json wait_for_manifest(const fs::path& path) {
  for (int i = 0; i < 100 && !fs::exists(path); ++i) std::this_thread::sleep_for(50ms);
  std::ifstream in(path);
  return kit::json::Json::parse(in);
}

TEST(Rig, PublishesScannableBusesAndLiveCamerasAndCleansUp) {
  const fs::path manifest = fs::temp_directory_path() / ("rig-" + std::to_string(getpid()) + ".json");
  test_support::BackgroundProcess rig({test_support::built_program("tessaline-rig"), "--robot", "koch", "--cameras",
                                       "1", "--manifest", manifest.string()});
  const auto doc = wait_for_manifest(manifest);
  ASSERT_EQ(doc["ports"].size(), 2u);
  EXPECT_EQ(doc["ports"][0]["vid"], 0x0403);
  EXPECT_EQ(doc["ports"][1]["serial_number"], "RIG-koch-follower");
  const std::string follower = doc["ports"][1]["device"];
  EXPECT_EQ(armkit::DynamixelMotorsBus::scan_port(follower),
            (std::map<int, std::vector<int>>{{1'000'000, {1, 2, 3, 4, 5, 6}}}));
  EXPECT_TRUE(armkit::FeetechMotorsBus::scan_port(follower).empty());

  const auto& cam = doc["cameras"][0];
  armkit::Camera camera({cam["index_or_path"], cam["width"], cam["height"], cam["fps"]});
  camera.connect();
  for (int i = 0; i < 100 && camera.frames_read() < 3; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(camera.read_latest().shape(), (std::vector<size_t>{480, 640, 3}));
  camera.disconnect();

  EXPECT_EQ(rig.stop(), 0);
  EXPECT_FALSE(fs::exists(manifest));
  EXPECT_FALSE(fs::exists(follower));
}

// Faults on demand through the rig's pipe, as the tests of programs that
// use the rig inject them: answers with another servo's id are set aside
// and the request tried again; a silent bus fails requests only while it
// lasts; a stalled camera repeats its last picture, then delivers again;
// a line that names no fault is refused and changes nothing.
TEST(Rig, FaultsOnDemandMisbehaveAsAskedAndPass) {
  const fs::path manifest = fs::temp_directory_path() / ("rig-faults-" + std::to_string(getpid()) + ".json");
  const fs::path pipe = fs::temp_directory_path() / ("rig-faults-" + std::to_string(getpid()) + ".pipe");
  test_support::BackgroundProcess rig({test_support::built_program("tessaline-rig"), "--robot", "so101", "--cameras", "1",
                                       "--manifest", manifest.string(), "--faults", pipe.string()});
  const auto doc = wait_for_manifest(manifest);
  const auto count = [&](const std::string& text) {
    size_t n = 0;
    const std::string out = rig.output();
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  };
  // Each fault takes effect once the rig says so.
  const auto inject = [&](const std::string& line, const std::string& said) {
    const size_t before = count(said);
    const int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string text = line + "\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    for (int i = 0; i < 200 && count(said) == before; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_GT(count(said), before) << rig.output();
  };

  armkit::FeetechMotorsBus bus(doc["ports"][1]["device"]);
  bus._connect();
  ASSERT_TRUE(bus.ping(1));
  inject("wrong-id follower 2", "fault: the follower's next 2 answers carry another servo's id");
  EXPECT_TRUE(bus.ping(1));
  inject("bus-silence follower 800", "fault: the follower's servos are silent for 800 ms");
  EXPECT_FALSE(bus.ping(1));
  std::this_thread::sleep_for(900ms);
  EXPECT_TRUE(bus.ping(1));
  inject("bus-silence follower soon", "no such fault");
  // A hand on the follower's wrist roll: it reads where it is held, past
  // the servo's wrap point (its homing offset counts), until let go.
  inject("hold follower wrist_roll 100", "fault: the follower's wrist_roll is held where it reads 100");
  const auto wrist_roll = [&] { return std::get<0>(bus._read(56, 2, 5)); };
  EXPECT_EQ(wrist_roll(), 100u);
  inject("hold follower wrist_roll 4090", "fault: the follower's wrist_roll is held where it reads 4090");
  EXPECT_EQ(wrist_roll(), 4090u);
  inject("release follower wrist_roll", "fault: the follower's wrist_roll is let go");
  inject("hold follower elbow 100", "no such fault");

  const auto& cam = doc["cameras"][0];
  armkit::Camera camera({cam["index_or_path"], cam["width"], cam["height"], cam["fps"]});
  camera.connect();
  for (int i = 0; i < 100 && camera.frames_read() < 3; ++i) std::this_thread::sleep_for(20ms);
  inject("camera-stall front 1.5", "fault: camera front stalls for 1.5 s");
  std::this_thread::sleep_for(200ms);  // a frame written just before may still come in
  const auto stalled_at = camera.frames_read();
  camera.read_latest(std::chrono::milliseconds(5000));
  std::this_thread::sleep_for(400ms);
  camera.read_latest(std::chrono::milliseconds(5000));
  EXPECT_EQ(camera.frames_read(), stalled_at);
  EXPECT_GT(camera.frames_repeated(), 0u);
  for (int i = 0; i < 150 && camera.frames_read() == stalled_at; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_GT(camera.frames_read(), stalled_at);  // it delivers again
  camera.disconnect();

  EXPECT_EQ(rig.stop(), 0);
  EXPECT_FALSE(fs::exists(pipe));
}

// A rig started for one test, with its manifest in a folder of its own
// (the servos' EEPROM state file lands beside it).
class RigRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rigrun-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    setenv("HF_LEROBOT_HOME", (dir_ / "home").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("HF_LEROBOT_HOME");
    fs::remove_all(dir_);
  }
  std::unique_ptr<test_support::BackgroundProcess> start(std::vector<std::string> flags) {
    std::vector<std::string> argv{test_support::built_program("tessaline-rig"), "--cameras", "0", "--manifest",
                                  (dir_ / "manifest.json").string()};
    argv.insert(argv.end(), flags.begin(), flags.end());
    fs::remove(dir_ / "manifest.json");
    auto rig = std::make_unique<test_support::BackgroundProcess>(argv);
    manifest_ = wait_for_manifest(dir_ / "manifest.json");
    return rig;
  }
  std::string port(const std::string& role) const {
    for (const auto& p : manifest_["ports"]) {
      if (p["role"] == role) return p["device"];
    }
    return "";
  }
  fs::path dir_;
  kit::json::Json manifest_;
};

TEST_F(RigRun, AnIdleRigCostsNothingAfterItsPortsWereOpenedAndClosed) {
  auto rig = start({"--robot", "so101"});
  for (const auto& role : {"leader", "follower"}) {
    armkit::SerialPort(port(role)).close();
    armkit::SerialPort again(port(role));
  }
  const double before = test_support::cpu_seconds(rig->pid());
  std::this_thread::sleep_for(3s);
  const double used = test_support::cpu_seconds(rig->pid()) - before;
  std::printf("rig CPU while idle: %.3f s over 3 s\n", used);
  EXPECT_LT(used, 0.05);
}

TEST_F(RigRun, CalibratedArmsMatchTheFilesTheRigWrites) {
  for (const std::string robot : {"so101", "koch"}) {
    auto rig = start({"--robot", robot, "--calibrated", "--factory-reset"});
    for (const std::string role : {"leader", "follower"}) {
      const std::string type = robot + "_" + role;
      const auto file = armkit::calibration_path(type, "rig_" + role);
      ASSERT_TRUE(fs::exists(file)) << file;
      EXPECT_NE(rig->output().find(file.string()), std::string::npos);
      const auto calibration = armkit::load_calibration(file);
      const armkit::ArmKind& kind = armkit::arm_kind(type);
      std::map<std::string, armkit::Motor> motors(kind.joints.begin(), kind.joints.end());
      std::unique_ptr<armkit::MotorsBus> bus;
      if (kind.family == armkit::ServoFamily::feetech) bus = std::make_unique<armkit::FeetechMotorsBus>(port(role), motors);
      else bus = std::make_unique<armkit::DynamixelMotorsBus>(port(role), motors);
      bus->_connect(true);
      ASSERT_EQ(calibration.size(), 6u);
      for (const auto& [motor, c] : calibration) {
        EXPECT_EQ(c.id, motors.at(motor).id);
        EXPECT_EQ(bus->read("Homing_Offset", motor), c.homing_offset) << type << " " << motor;
        EXPECT_EQ(bus->read("Min_Position_Limit", motor), c.range_min) << type << " " << motor;
        EXPECT_EQ(bus->read("Max_Position_Limit", motor), c.range_max) << type << " " << motor;
        EXPECT_LT(c.range_max - c.range_min, motor == "wrist_roll" || (robot == "koch" && motor == "shoulder_pan") ? 4096 : 4095);
        if (kind.family == armkit::ServoFamily::dynamixel) {
          EXPECT_EQ(bus->read("Drive_Mode", motor), c.drive_mode);
          EXPECT_EQ(c.drive_mode, type == "koch_leader" && motor == "elbow_flex" ? 1 : 0);
        }
        // Half-turn homing: the middle of the travel reads 2047 or so; the offsets are far from 0.
        EXPECT_GT(std::abs(c.homing_offset), 100) << type << " " << motor;
      }
    }
    EXPECT_EQ(rig->stop(), 0);
  }
}

TEST_F(RigRun, WhatIsWrittenIntoTheServosIsThereAfterARestart) {
  auto rig = start({"--robot", "so101"});
  {
    armkit::FeetechMotorsBus bus(port("follower"), {{"wrist_flex", {4, "sts3215"}}});
    bus._connect(true);
    bus.write("Lock", "wrist_flex", 0);
    bus.write("Homing_Offset", "wrist_flex", -321);
    bus.write("Torque_Enable", "wrist_flex", 1);
  }
  EXPECT_EQ(rig->stop(), 0);
  rig = start({"--robot", "so101"});
  EXPECT_NE(rig->output().find("EEPROM restored"), std::string::npos) << rig->output();
  armkit::FeetechMotorsBus bus(port("follower"), {{"wrist_flex", {4, "sts3215"}}});
  bus._connect(true);
  EXPECT_EQ(bus.read("Homing_Offset", "wrist_flex"), -321);
  EXPECT_EQ(bus.read("Torque_Enable", "wrist_flex"), 0);  // RAM starts afresh
  bus.port_handler.closePort();
  EXPECT_EQ(rig->stop(), 0);
  rig = start({"--robot", "so101", "--factory-reset"});
  armkit::FeetechMotorsBus fresh(port("follower"), {{"wrist_flex", {4, "sts3215"}}});
  fresh._connect(true);
  EXPECT_EQ(fresh.read("Homing_Offset", "wrist_flex"), 0);
}

}  // namespace

// Two programs on one arm pair: the second is told who holds the port, even
// as root (whom TIOCEXCL lets through); once the first lets go it may open it.
TEST(SerialPortLock, ASecondProgramOnThePortIsToldWhoHoldsIt) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  const std::string path = ptsname(master);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    armkit::SerialPort held(path);
    [[maybe_unused]] const ssize_t n = write(ready[1], "k", 1);
    pause();
    _exit(0);
  }
  char k;
  ASSERT_EQ(read(ready[0], &k, 1), 1);
  try {
    armkit::SerialPort second(path);
    ADD_FAILURE() << "two programs opened " << path;
  } catch (const armkit::SerialError& e) {
    EXPECT_EQ(std::string(e.what()), "the arms on " + path + " are in use by another tessaline (pid " + std::to_string(holder) +
                                         "): stop it first, or use other arms");
  }
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_NO_THROW(armkit::SerialPort{path});
  close(ready[0]);
  close(ready[1]);
  close(master);
}
