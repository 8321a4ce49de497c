// The saved setup and port files: exact text, order, re-resolution of moved
// devices, loud failures on broken files, and `tessaline reset`.
#include "cli/saved_config.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli/arm_options.hpp"
#include "tessaline/config.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace tessaline::ports;
namespace fs = std::filesystem;
using kit::json::Json;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SavedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("saved-" + std::to_string(getpid()));
    fs::remove_all(home_);
    saved_home_ = tessaline::config::HF_LEROBOT_HOME;
    tessaline::config::HF_LEROBOT_HOME = home_.string();
    manifest_ = home_ / "manifest.json";
    setenv("TESSALINE_VIRTUAL_HARDWARE", manifest_.c_str(), 1);
    fs::create_directories(home_);
  }
  void TearDown() override {
    unsetenv("TESSALINE_VIRTUAL_HARDWARE");
    tessaline::config::HF_LEROBOT_HOME = saved_home_;
    fs::remove_all(home_);
  }
  // Pretends these USB devices are plugged in (the rig's manifest format).
  void devices(const std::vector<std::pair<std::string, std::string>>& path_and_serial) {
    Json ports = Json::array();
    for (const auto& [path, serial] : path_and_serial) {
      ports.push_back({{"device", path}, {"vid", 0x1A86}, {"pid", 0x55D3}, {"serial_number", serial}});
    }
    std::ofstream(manifest_) << Json{{"ports", ports}}.dump();
  }
  CaptureSetup setup() {
    return {"so101_follower", "so101_leader", {"LEAD", "/dev/ttyACM0", "feetech", 6},
            {"FOLL", "/dev/ttyACM1", "feetech", std::nullopt}, std::nullopt, {}};
  }
  fs::path home_, manifest_;
  std::string saved_home_;
};

TEST_F(SavedFiles, PortsFileIsIndentedAsciiInInsertionOrder) {
  save_port_config("zeta", {"/dev/ttyUSB0", "A1", "Board caf\xc3\xa9", 6});
  save_port_config("alpha", {"/dev/ttyUSB1", std::nullopt, std::nullopt, std::nullopt});
  save_port_config("zeta", {"/dev/ttyUSB9", "A1", "Board caf\xc3\xa9", 6});  // replaced in place
  EXPECT_EQ(read(home_ / "tessaline/ports.json"),
            "{\n"
            "  \"zeta\": {\n"
            "    \"port\": \"/dev/ttyUSB9\",\n"
            "    \"serial_number\": \"A1\",\n"
            "    \"description\": \"Board caf\\u00e9\",\n"
            "    \"motor_count\": 6\n"
            "  },\n"
            "  \"alpha\": {\n"
            "    \"port\": \"/dev/ttyUSB1\",\n"
            "    \"serial_number\": null,\n"
            "    \"description\": null,\n"
            "    \"motor_count\": null\n"
            "  }\n"
            "}");
  const auto all = list_saved_configs();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].first, "zeta");
  EXPECT_EQ(load_port_config("alpha")->port, "/dev/ttyUSB1");
  EXPECT_FALSE(load_port_config("nobody"));
}

TEST_F(SavedFiles, SetupFileTextAndDefaults) {
  testing::internal::CaptureStdout();
  save_capture_setup(setup());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Config saved to"), std::string::npos);
  EXPECT_EQ(read(home_ / "tessaline/setup.json"),
            "{\n  \"robot_type\": \"so101_follower\",\n  \"teleop_type\": \"so101_leader\",\n"
            "  \"leader\": {\n    \"serial_number\": \"LEAD\",\n    \"last_port\": \"/dev/ttyACM0\",\n"
            "    \"motor_type\": \"feetech\",\n    \"motor_count\": 6\n  },\n"
            "  \"follower\": {\n    \"serial_number\": \"FOLL\",\n    \"last_port\": \"/dev/ttyACM1\",\n"
            "    \"motor_type\": \"feetech\",\n    \"motor_count\": null\n  },\n"
            "  \"cameras\": null,\n  \"selected_cameras\": []\n}");
  std::ofstream(home_ / "tessaline/setup.json")
      << R"({"robot_type": "koch_follower", "teleop_type": "koch_leader",
             "leader": {"serial_number": "L", "last_port": "/a", "motor_type": "dynamixel"},
             "follower": {"serial_number": "F", "last_port": "/b", "motor_type": "dynamixel"}})";
  const auto loaded = load_capture_setup();
  ASSERT_TRUE(loaded);
  EXPECT_FALSE(loaded->cameras.has_value());
  EXPECT_TRUE(loaded->selected_cameras.empty());
  EXPECT_FALSE(loaded->leader.motor_count.has_value());
}

TEST_F(SavedFiles, BrokenFilesFailLoudlyAndAreNeverReplaced) {
  fs::create_directories(home_ / "tessaline");
  std::ofstream(home_ / "tessaline/ports.json") << "{\"a\": {\"port\": \"/x\", \"prot\": 1}}";
  EXPECT_ANY_THROW(load_port_config("a"));  // unknown field
  std::ofstream(home_ / "tessaline/ports.json") << "{broken";
  EXPECT_ANY_THROW(save_port_config("b", {"/dev/ttyUSB0", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(read(home_ / "tessaline/ports.json"), "{broken");
  std::ofstream(home_ / "tessaline/setup.json") << R"({"robot_type": "x"})";
  EXPECT_ANY_THROW(load_capture_setup());
}

// Whatever is wrong inside a saved file, the message names the file and how
// to start over; a number too large for its field is an error, not wrapped.
TEST_F(SavedFiles, EveryBrokenFileErrorNamesTheFileAndTheWayOut) {
  fs::create_directories(home_ / "tessaline");
  const auto setup = home_ / "tessaline/setup.json";
  const auto ports = home_ / "tessaline/ports.json";
  auto message = [](const std::function<void()>& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const char* broken_setups[] = {
      "[1, 2]",                                                    // not an object
      R"({"robot_type": 5, "teleop_type": "a", "leader": {}, "follower": {}})",  // wrong type
      R"({"robot_type": "a", "teleop_type": "b"})",                // missing key
      R"({"robot_type": "a", "teleop_type": "b", "leader": {"serial_number": "", "last_port": "/x", "motor_type": "", "motor_count": 1099511627776}, "follower": {"serial_number": "", "last_port": "/y", "motor_type": ""}})",
  };
  for (const char* text : broken_setups) {
    std::ofstream(setup) << text;
    const std::string m = message([] { load_capture_setup(); });
    EXPECT_NE(m.find(setup.string()), std::string::npos) << text << " -> " << m;
    EXPECT_NE(m.find("Run `tessaline reset` to start over."), std::string::npos) << m;
  }
  for (const char* text : {"[]", R"({"a": {"port": 7}})", R"({"a": {"port": "/x", "motor_count": "six"}})"}) {
    std::ofstream(ports) << text;
    for (const auto& fn : std::vector<std::function<void()>>{[] { load_port_config("a"); }, [] { list_saved_configs(); }}) {
      const std::string m = message(fn);
      EXPECT_NE(m.find(ports.string()), std::string::npos) << text << " -> " << m;
      EXPECT_NE(m.find("to start over"), std::string::npos) << m;
    }
  }
}

// Several programs saving and reading the files at once: every read parses,
// no entry is lost, nothing is left behind, and a planted link at a
// temporary name is never followed.
TEST_F(SavedFiles, ConcurrentWritersNeverCorruptOrLoseAnything) {
  fs::create_directories(home_ / "tessaline");
  const fs::path victim = home_ / "victim";
  std::ofstream(victim) << "keep me";
  fs::create_symlink(victim, home_ / "tessaline" / "setup.json.tmp");
  constexpr int kWriters = 4, kRounds = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      int bad = 0;
      for (int r = 0; r < kRounds; ++r) {
        try {
          save_port_config("arm" + std::to_string(w), {"/dev/ttyUSB" + std::to_string(r), "S", "d", 6});
          CaptureSetup setup;
          setup.robot_type = "so101_follower";
          setup.teleop_type = "so101_leader";
          setup.leader = {"L", "/dev/a" + std::to_string(w), "feetech", 6};
          setup.follower = {"F", "/dev/b" + std::to_string(r), "feetech", 6};
          save_capture_setup(setup);
          if (!load_capture_setup()) ++bad;
          list_saved_configs();
        } catch (const std::exception&) {
          ++bad;
        }
      }
      _exit(bad == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a broken file";
  }
  const auto saved = list_saved_configs();
  EXPECT_EQ(saved.size(), static_cast<size_t>(kWriters));  // every writer's entry is there
  for (const auto& [id, record] : saved) EXPECT_EQ(record.port, "/dev/ttyUSB" + std::to_string(kRounds - 1)) << id;
  EXPECT_TRUE(load_capture_setup());
  for (const auto& e : fs::directory_iterator(home_ / "tessaline")) {
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
}

TEST_F(SavedFiles, MovedDevicesAreFoundAgainBySerialNumber) {
  save_port_config("arm", {"/dev/ttyGONE0", "SER1", "Board", 6});
  devices({{"/dev/ttyNEW3", "SER1"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_port_for_robot("arm"), "/dev/ttyNEW3");
  EXPECT_EQ(get_port_for_robot("arm"), "/dev/ttyNEW3");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Note: arm moved from /dev/ttyGONE0 to /dev/ttyNEW3\n");
  EXPECT_EQ(load_port_config("arm")->description, "Board");
  save_port_config("plain", {"/dev/ttyGONE1", std::nullopt, std::nullopt, std::nullopt});
  EXPECT_FALSE(get_port_for_robot("plain"));

  auto s = setup();
  devices({{"/dev/ttyACM7", "LEAD"}});  // only the leader is plugged in, elsewhere
  testing::internal::CaptureStdout();
  const auto [robot_port, teleop_port] = resolve_setup_ports(s);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Config saved to"), std::string::npos);
  EXPECT_FALSE(robot_port);
  EXPECT_EQ(teleop_port, "/dev/ttyACM7");
  EXPECT_EQ(load_capture_setup()->leader.last_port, "/dev/ttyACM7");
  EXPECT_EQ(load_capture_setup()->follower.last_port, "/dev/ttyACM1");
  testing::internal::CaptureStdout();
  resolve_setup_ports(s);  // nothing moved: nothing written or printed
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(SavedFiles, ResetCommandVariants) {
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), test_support::built_program("tessaline"));
    test_support::ProcessOptions opts;
    opts.set_env = {{"HF_LEROBOT_HOME", home_.string()}, {"TESSALINE_PACKAGE_INDEX", "http://127.0.0.1:9"}};
    return test_support::run_process(args, opts);
  };
  EXPECT_EQ(run({"reset"}).out, "No saved configuration found.\n");
  auto s = setup();
  s.cameras = Json{{"front", {{"type", "opencv"}, {"index_or_path", 0}}}};
  s.selected_cameras = {"observation.images.cam_front"};
  testing::internal::CaptureStdout();
  save_capture_setup(s);
  testing::internal::GetCapturedStdout();
  const auto cams = run({"reset", "--cameras"});
  EXPECT_NE(cams.out.find("Camera configuration reset. Cameras will be re-detected on next capture."), std::string::npos);
  const auto after = load_capture_setup();
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->cameras);
  EXPECT_TRUE(after->selected_cameras.empty());
  EXPECT_EQ(after->leader.serial_number, "LEAD");
  EXPECT_EQ(run({"reset", "--cameras", "--ports"}).out,
            "Configuration reset. Hardware will be re-detected on next capture.\n");
  EXPECT_FALSE(fs::exists(home_ / "tessaline/setup.json"));
  std::ofstream(home_ / "tessaline/setup.json") << "{broken";
  const auto broken = run({"reset", "--cameras"});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_NE(broken.err.find("Error:"), std::string::npos);
}

}  // namespace

// The command hands its options to the capture runtime as JSON: every one
// given must arrive (a camera bound that did not was silently the default).
TEST(ArmOptionsHandedOn, EveryOptionGivenArrivesAsGiven) {
  tessaline::cli::ArmOptions given;
  given.robot_type = "so101_follower";
  given.robot_id = "f";
  given.teleop_type = "so101_leader";
  given.teleop_id = "l";
  given.fps = 15;
  given.duration = 12.5;
  given.camera_silence_s = 3;
  given.robot.max_relative_target = "{\"gripper\": 5}";
  given.robot.use_degrees = false;
  given.robot.disable_torque_on_disconnect = false;
  given.teleop.use_degrees = true;
  given.teleop.gripper_open_pos = 40;
  const auto sent = tessaline::cli::to_json(given);
  const auto got = tessaline::cli::arm_options_from(sent);
  EXPECT_EQ(got.camera_silence_s, 3);
  EXPECT_EQ(got.duration, 12.5);
  EXPECT_EQ(got.robot.max_relative_target, given.robot.max_relative_target);
  EXPECT_EQ(got.teleop.gripper_open_pos, 40);
  EXPECT_EQ(tessaline::cli::to_json(got), sent);
  EXPECT_EQ(sent.size(), 12u) << sent.dump();  // one key per option
}
