// The capture runtime below the browser: the logged frame record, camera
// filtering, the session's frame rate, the teleoperation loop over simulated
// arms, Ctrl+C as an orderly stop, and how a capture finds its set-up
// (saved file or discovery) over simulated hardware and real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "armkit/sim/frame_file.hpp"
#include "cli/capture.hpp"
#include "cli/capture_config.hpp"
#include "cli/saved_config.hpp"
#include "cli/episode_quality.hpp"
#include "cli/teleop_loop.hpp"
#include "kit/log/logger.hpp"
#include "kit/loop/event_loop.hpp"
#include "kit/loop/interrupt.hpp"
#include "tests/support/calibrated_arms.hpp"
#include "tests/support/workshop.hpp"

namespace {

using namespace tessaline;
using kit::json::Json;
using test_support::Workshop;

NdArray image(std::vector<size_t> shape) { return NdArray(DType::uint8, std::move(shape)); }

std::vector<float> floats(const NdArray& a) {
  std::vector<float> out;
  for (size_t i = 0; i < a.size(); ++i) out.push_back(static_cast<float>(a.as_double(i)));
  return out;
}

std::vector<std::string> keys(const Record& r) {
  std::vector<std::string> out;
  for (const auto& [k, v] : r) out.push_back(k);
  return out;
}

// Keeps what is logged while it lives.
struct CapturedLog : kit::log::Handler {
  std::vector<std::string> lines;
  void emit(const kit::log::Record& r) override { lines.emplace_back(r.message); }
  bool has(const std::string& text) const {
    for (const auto& l : lines) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST(LoggedFrame, ImagesKeepTheirPixelsAndScalarsBecomeFloatState) {
  const NdArray front = image({4, 6, 3});
  Record obs{{"shoulder.pos", 1},
             {"elbow.pos", 2.5},
             {"front", front},
             {"pair", NdArray::from_vector(DType::float64, std::vector<double>{3, 4})},
             {"label", "text"},
             {"gripper_closed", true},
             {"depth", image({4, 6})},
             {"timestamp", 99.0},
             {"nothing", None{}}};
  const Record logged = capture::build_observation_for_logging(obs);
  EXPECT_EQ(keys(logged), (std::vector<std::string>{"observation.images.cam_front", "observation.images.cam_depth", "state"}));
  EXPECT_TRUE(logged.at("observation.images.cam_front").get<NdArray>().shares_buffer_with(front));
  const auto& state = logged.at("state").get<NdArray>();
  EXPECT_EQ(state.dtype(), DType::float32);
  EXPECT_EQ(floats(state), (std::vector<float>{1.0f, 2.5f, 3.0f, 4.0f, 1.0f}));
  EXPECT_EQ(capture::build_observation_for_logging(Record{}).at("state").get<NdArray>().size(), 0u);
}

TEST(LoggedFrame, OnlySelectedCamerasStayAndKeysCompareWhole) {
  const Record obs{{"observation.images.cam_front", image({2, 2, 3})},
                   {"observation.images.cam_wrist", image({2, 2, 3})},
                   {"state", NdArray::from_vector(DType::float32, std::vector<float>{1})},
                   {"timestamp", 0.5}};
  EXPECT_EQ(keys(capture::filter_cameras(obs, {"observation.images.cam_wrist"})),
            (std::vector<std::string>{"observation.images.cam_wrist", "state", "timestamp"}));
  EXPECT_EQ(keys(capture::filter_cameras(obs, {"front", "observation.images.cam_fr"})),
            (std::vector<std::string>{"state", "timestamp"}));
}

TEST(SessionRate, LowestSetCameraRateWinsWithAWarning) {
  auto log = std::make_shared<CapturedLog>();
  auto& logger = kit::log::get_logger("tessaline.capture");
  logger.add_handler(log);
  armkit::RobotConfig robot;
  robot.cameras = {{"a", {"0", 640, 480, 30}}, {"b", {"1", 640, 480, 15}}, {"c", {"2", 640, 480, 0}}};
  EXPECT_EQ(capture::session_fps(robot), 15);
  EXPECT_TRUE(log->has("Cameras have different FPS values: [30, 15]. Using minimum (15) to avoid dropping frames."));
  robot.cameras = {{"a", {"0", 640, 480, 0}}};
  EXPECT_EQ(capture::session_fps(robot), 30);  // no rate at all: the session default
  logger.remove_handler(log);
}

armkit::RobotConfig follower_config(const std::string& kind, const std::string& port, const std::string& id) {
  auto config = armkit::RobotConfig::get_choice_class(kind + "_follower")(port, {});
  config.id = id;
  return config;
}

armkit::RobotConfig with_target(armkit::RobotConfig config, std::optional<armkit::MaxRelativeTarget> target) {
  config.max_relative_target = std::move(target);
  return config;
}

// A simulated leader (moving) and follower of one kind, calibrated and
// connected as the arms.
struct ConnectedArms {
  explicit ConnectedArms(const std::string& kind, std::optional<armkit::MaxRelativeTarget> max_relative_target = std::nullopt)
      : leader(kind + "_leader"),
        follower(kind + "_follower"),
        teleop({.type = kind + "_leader", .port = leader.port(), .id = test_support::calibrate(leader, "l")}),
        robot(with_target(follower_config(kind, follower.port(), test_support::calibrate(follower, "f")), max_relative_target)) {
    teleop.connect();
    robot.connect();
  }
  test_support::CalibrationFolder folder;
  armkit::SimulatedArm leader, follower;
  armkit::Teleoperator teleop;
  armkit::Robot robot;
};

TEST(TeleopLoop, FollowerFollowsTheLeaderUntilTheDurationPasses) {
  ConnectedArms arms("so101");
  auto& [folder, leader, follower, teleop, robot] = arms;
  const auto start_position = follower.present(0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(capture::teleop_loop(teleop, robot, 30, armkit::make_default_processors(), {}, 1.0), "duration");
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 5.0);  // it ends, rather than running on
  EXPECT_NE(follower.present(0), start_position);
  // The follower is close to where the leader is now.
  const double gap = robot.get_observation().at("shoulder_pan.pos").as_double() -
                     teleop.get_action().at("shoulder_pan.pos").as_double();
  EXPECT_LT(std::abs(gap), 20.0);
}

TEST(TeleopLoop, TheFollowerIsBroughtToTheLeaderBeforeTheFirstFrame) {
  ConnectedArms arms("so101");
  auto& [folder, leader, follower, teleop, robot] = arms;
  leader.set_motion(armkit::LeaderMotion::still);
  for (size_t j = 0; j < 5; ++j) {  // the leader held far from where the follower rests
    const double at = leader.physical_middle(j) + (j % 2 ? -500 : 500);
    leader.bus().set_hand(j, [at](double) { return at; });
  }
  const auto processors = armkit::make_default_processors();
  auto gap = [](const Record& logged, const armkit::Action& action) {
    double worst = 0;
    const auto state = floats(logged.at("state").get<NdArray>());
    size_t i = 0;
    for (const auto& [key, value] : action) worst = std::max(worst, std::abs(state[i++] - value.as_double()));
    return worst;
  };
  {
    auto [logged, obs, action] = capture::_capture_frame(robot, teleop, processors, {}, 0);
    EXPECT_GT(gap(logged, action), 30.0);  // a jump the first frames would record
  }
  capture::_bring_follower_to_leader(robot, teleop, 30, processors, nullptr);
  auto [logged, obs, action] = capture::_capture_frame(robot, teleop, processors, {}, 0);
  EXPECT_LE(gap(logged, action), 15.0);  // within one tick's step (15° of horn travel) on every joint
}

// The wrist roll turns fully: with its homing offset putting the servo's
// wrap point between the follower and the leader, stepped goals had the
// servo run the long way round and back for the whole approach. A joint
// that cannot follow ends the approach once it stops closing in.
TEST(TeleopLoop, TheApproachArrivesAcrossTheWrapPointAndGivesUpOnAStuckJoint) {
  ConnectedArms arms("so101");
  auto& [folder, leader, follower, teleop, robot] = arms;
  const auto processors = armkit::make_default_processors();
  leader.set_motion(armkit::LeaderMotion::still);
  constexpr size_t kWristRoll = 4;
  follower.bus().set(kWristRoll, "Homing_Offset", -139);
  follower.bus().set_actual(kWristRoll, 4096 - 39);  // reads 100; the wrap point reads 139
  const double leader_at = leader.physical_middle(kWristRoll) + (2200 - 2047);  // reads 2200
  leader.bus().set_hand(kWristRoll, [leader_at](double) { return leader_at; });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(capture::_bring_follower_to_leader(robot, teleop, 30, processors, nullptr), capture::ApproachWatch::Outcome::arrived);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));  // the limit is 10 s
  EXPECT_NEAR(follower.present(kWristRoll), 2200, 4096 * 15 / 360);

  const double elbow_held = follower.actual(2);
  follower.bus().set_hand(2, [elbow_held](double) { return elbow_held; });
  const double elbow_leader = leader.physical_middle(2) + 700;
  leader.bus().set_hand(2, [elbow_leader](double) { return elbow_leader; });
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(capture::_bring_follower_to_leader(robot, teleop, 30, processors, nullptr),
            capture::ApproachWatch::Outcome::stopped_closing_in);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

TEST(TeleopLoop, FailedReadsCostTicksAndOnlyLastingOnesEndTheRun) {
  ConnectedArms arms("so101");
  auto log = std::make_shared<CapturedLog>();
  kit::log::get_logger("tessaline.capture").add_handler(log);
  const auto processors = armkit::make_default_processors();
  {  // A short run of lost answers: those ticks are skipped, the episode goes on.
    std::thread glitch([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      arms.follower.bus().drop_answers(24);  // about a sync read's three attempts and a bit
    });
    EXPECT_EQ(capture::teleop_loop(arms.teleop, arms.robot, 30, processors, {}, 1.5), "duration");
    glitch.join();
    EXPECT_TRUE(log->has("Skipped a tick"));
  }
  {  // The follower stops answering for good: the run ends, saying why.
    arms.follower.bus().drop_answers(1'000'000);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(capture::teleop_loop(arms.teleop, arms.robot, 30, processors, {}, 30.0), armkit::BusError);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_TRUE(log->has("kept failing"));
    arms.follower.bus().drop_answers(0);
  }
  kit::log::get_logger("tessaline.capture").remove_handler(log);
}

// With max_relative_target the goal is clamped from a second reading of the
// follower: a failed one costs its tick like any other read of the tick.
// The answers are lost right after the tick's own reading, so the clamp's
// is the one that fails.
TEST(TeleopLoop, TheClampsReadingIsATicksReadLikeTheOthers) {
  ConnectedArms arms("so101", armkit::MaxRelativeTarget{.all = 5.0, .per_motor = {}});
  auto log = std::make_shared<CapturedLog>();
  kit::log::get_logger("tessaline.capture").add_handler(log);
  auto processors = armkit::make_default_processors();
  long ticks = 0;
  processors.robot_action = [&, pass_on = processors.robot_action](const std::pair<armkit::Action, armkit::Observation>& in) {
    if (++ticks % 15 == 0) arms.follower.bus().drop_answers(3);
    return pass_on(in);
  };
  std::string ended;
  try {
    ended = capture::teleop_loop(arms.teleop, arms.robot, 30, processors, {}, 2.0);
  } catch (const std::exception& e) {
    ended = e.what();
  }
  arms.follower.bus().drop_answers(0);
  EXPECT_EQ(ended, "duration");
  EXPECT_TRUE(log->has("Skipped a tick"));
  kit::log::get_logger("tessaline.capture").remove_handler(log);
}

// A bus that goes silent for a moment costs the ticks it lasts and little
// more: retries never stack past the tick's own deadline, so the follower
// has goals again within a couple of ticks of the bus answering (it used
// to go without for 0.4-0.6 s after a 150 ms outage).
TEST(TeleopLoop, ABusOutageCostsTheTicksItLastsNotMore) {
  for (const auto& target : {std::optional<armkit::MaxRelativeTarget>{}, std::optional{armkit::MaxRelativeTarget{.all = 30.0, .per_motor = {}}}}) {
    for (const int outage_ms : {150, 400}) {
      ConnectedArms arms("so101", target);
      auto processors = armkit::make_default_processors();
      std::vector<std::chrono::steady_clock::time_point> goals;
      processors.robot_action = [&, pass_on = processors.robot_action](const std::pair<armkit::Action, armkit::Observation>& in) {
        goals.push_back(std::chrono::steady_clock::now());
        return pass_on(in);
      };
      std::chrono::steady_clock::time_point back;
      std::thread glitch([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        back = std::chrono::steady_clock::now() + std::chrono::milliseconds(outage_ms);
        arms.follower.bus().silence_for(std::chrono::milliseconds(outage_ms));
      });
      EXPECT_EQ(capture::teleop_loop(arms.teleop, arms.robot, 30, processors, {}, 1.6), "duration") << outage_ms << " ms";
      glitch.join();
      const auto next = std::find_if(goals.begin(), goals.end(), [&](auto t) { return t >= back; });
      ASSERT_NE(next, goals.end()) << "no goal after a " << outage_ms << " ms outage";
      // Two ticks, and a tick's slack for a busy machine.
      EXPECT_LT(*next - back, std::chrono::milliseconds(100)) << "after a " << outage_ms << " ms outage"
                                                              << (target ? ", goals clamped" : "");
    }
  }
}

// Replies that carry another servo's id, now and then, while both cores
// are busy: each costs a retry or at most its tick, never the run, and no
// goal is built from another servo's reading.
TEST(TeleopLoop, RepliesWithAnotherServosIdUnderLoadCostATickAtMost) {
  ConnectedArms arms("so101");
  std::atomic<bool> stop = false;
  std::vector<std::thread> busy;
  for (int i = 0; i < 2; ++i) {
    busy.emplace_back([&] {
      std::atomic<unsigned> work = 0;
      while (!stop) work.fetch_add(1, std::memory_order_relaxed);
    });
  }
  std::atomic<int> injected = 0;
  std::thread faults([&] {
    for (int round = 0; !stop; ++round) {
      arms.follower.bus().misaddress_answers(1 + round % 3);
      arms.leader.bus().misaddress_answers(round % 2);
      ++injected;
      std::this_thread::sleep_for(std::chrono::milliseconds(90));
    }
  });
  auto processors = armkit::make_default_processors();
  double farthest_jump = 0;
  std::optional<double> last_pan;
  processors.robot_action = [&, pass_on = processors.robot_action](const std::pair<armkit::Action, armkit::Observation>& in) {
    const double pan = in.second.at("shoulder_pan.pos").as_double();
    if (last_pan) farthest_jump = std::max(farthest_jump, std::abs(pan - *last_pan));
    last_pan = pan;
    return pass_on(in);
  };
  auto log = std::make_shared<CapturedLog>();
  kit::log::get_logger("tessaline.capture").add_handler(log);
  std::string ended;
  try {
    ended = capture::teleop_loop(arms.teleop, arms.robot, 30, processors, {}, 2.0);
  } catch (const std::exception& e) {
    ended = e.what();
  }
  kit::log::get_logger("tessaline.capture").remove_handler(log);
  stop = true;
  faults.join();
  for (auto& t : busy) t.join();
  EXPECT_EQ(ended, "duration");
  std::printf("%zu ticks skipped for %d rounds of wrong ids\n", log->lines.size(), injected.load());
  EXPECT_TRUE(log->has("two answers carry the id of motor"));
  // The follower's pan moves a few degrees a tick at most; another
  // servo's reading taken for it would jump by tens.
  EXPECT_LT(farthest_jump, 15.0);
}

// An episode's quality record counts that episode only: retries the bus
// made before it began are not its own; late and skipped ticks are.
TEST(EpisodeQuality, CountsTheEpisodeItDescribesAndNothingBefore) {
  ConnectedArms arms("so101");
  capture::EpisodeQuality quality(arms.robot, arms.teleop, 30);
  arms.follower.bus().drop_answers(2);
  arms.robot.get_observation();  // answered on a retry, before the episode
  quality.restart(capture::perf_counter());
  EXPECT_EQ(quality.summary(capture::perf_counter())["bus_retries"], 0);
  arms.follower.bus().drop_answers(1);
  arms.robot.get_observation();
  for (const double work : {0.001, 0.002, 0.05, 0.001}) quality.recorded(work);
  quality.skipped();
  const double now = capture::perf_counter();
  const auto summary = quality.summary(now);
  EXPECT_EQ(summary["ticks"], 4);
  EXPECT_EQ(summary["late_ticks"], 1);  // 50 ms of work in a 33 ms tick
  EXPECT_EQ(summary["skipped_ticks"], 1);
  EXPECT_GE(summary["bus_retries"].get<long>(), 1);
  EXPECT_EQ(summary["fps"], 30);
  EXPECT_GT(summary["seconds"].get<double>(), 0);
  EXPECT_EQ(summary["cameras"], kit::json::Json::object());
}

TEST(Interrupt, StopsTheLoopAndBlockingWaitsOnce) {
  ConnectedArms arms("koch");
  kit::request_interrupt();
  EXPECT_THROW(capture::teleop_loop(arms.teleop, arms.robot, 30, armkit::make_default_processors(), {}), kit::Interrupted);
  EXPECT_FALSE(kit::interrupt_pending());  // taken: clean-up can wait again

  kit::EventLoop loop;
  auto ten_seconds = [&]() -> asio::awaitable<int> {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::seconds(10));
    co_await timer.async_wait(asio::use_awaitable);
    co_return 1;
  };
  // A call that would finish at once is a safe point too (the loop polls
  // commands with waits of a few milliseconds).
  auto at_once = []() -> asio::awaitable<int> { co_return 1; };
  kit::request_interrupt();
  EXPECT_THROW(loop.run_blocking(at_once(), std::chrono::seconds(1)), kit::Interrupted);
  EXPECT_EQ(loop.run_blocking(at_once(), std::chrono::seconds(1)), 1);

  std::thread presser([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kit::request_interrupt();
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(loop.run_blocking(ten_seconds(), std::chrono::seconds(30)), kit::Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  presser.join();
  loop.stop(std::chrono::seconds(2));
}

TEST(RobotConfigs, BuiltFromTheResolvedSetUp) {
  cli::CaptureConfig config{"so100_follower", "/dev/ttyF", "so100_leader", "/dev/ttyL",
                            Json{{"cam_0", {{"type", "opencv"}, {"index_or_path", 0}, {"width", 640}, {"height", 480}, {"fps", 30}}},
                                 {"cam_1", {{"index_or_path", "virtual:/tmp/x"}, {"width", 320}, {"height", 240}, {"fps", 15}}}},
                            {}};
  const auto [robot, teleop] = cli::_build_robot_teleop_configs(config);
  EXPECT_EQ(robot.type, "so100_follower");
  EXPECT_EQ(robot.port, "/dev/ttyF");
  EXPECT_EQ(teleop.type, "so100_leader");
  EXPECT_EQ(teleop.port, "/dev/ttyL");
  ASSERT_EQ(robot.cameras.size(), 2u);
  EXPECT_EQ(robot.cameras.at("cam_0").index_or_path, "0");
  EXPECT_EQ(robot.cameras.at("cam_1").index_or_path, "virtual:/tmp/x");
  EXPECT_EQ(robot.cameras.at("cam_1").fps, 15);

  config.cameras = std::nullopt;
  EXPECT_TRUE(cli::_build_robot_teleop_configs(config).first.cameras.empty());
  config.cameras = Json{{"cam_0", {{"index_or_path", 0}, {"width", 640}, {"height", 480}}}};
  EXPECT_THROW(cli::_build_robot_teleop_configs(config), std::invalid_argument);
  config.cameras = std::nullopt;
  config.robot_type = "so102_follower";  // typed freely at the menu
  EXPECT_THROW(cli::_build_robot_teleop_configs(config), std::invalid_argument);
}

class CaptureSetUp : public Workshop {
 protected:
  // A saved setup: leader "S0", follower "S1", on paths that are now stale.
  ports::CaptureSetup saved(std::optional<Json> cameras) {
    ports::CaptureSetup setup;
    setup.robot_type = "so101_follower";
    setup.teleop_type = "so101_leader";
    setup.leader = {"S0", "/dev/ttyOLD0", "feetech", 6};
    setup.follower = {"S1", "/dev/ttyOLD1", "feetech", 6};
    setup.cameras = std::move(cameras);
    setup.selected_cameras = {"observation.images.cam_front"};
    ports::save_capture_setup(setup);
    return setup;
  }
  std::string setup_text() const {
    std::ifstream in(home_ / "tessaline" / "setup.json");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Runs the resolution with nothing to answer; (config or exit status, printed text).
  std::pair<std::variant<cli::CaptureConfig, int>, std::string> resolve() {
    std::istringstream no_answers;
    testing::internal::CaptureStdout();
    std::variant<cli::CaptureConfig, int> result;
    try {
      result = cli::_resolve_capture_config(no_answers);
    } catch (const cli::CommandExit& e) {
      result = e.code;
    }
    return {result, testing::internal::GetCapturedStdout()};
  }
};

TEST_F(CaptureSetUp, SavedDevicesAreFoundOnTheirNewPortsWithoutDiscovery) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower");
  write_manifest({&leader, &follower});
  saved(Json{{"front", {{"index_or_path", 0}, {"width", 640}, {"height", 480}, {"fps", 30}}}});
  const auto [result, out] = resolve();
  const auto& config = std::get<cli::CaptureConfig>(result);
  EXPECT_NE(out.find("Using saved setup: robot=" + follower.port() + ", teleop=" + leader.port()), std::string::npos) << out;
  EXPECT_EQ(out.find("Scanning"), std::string::npos);
  EXPECT_EQ(config.robot_port, follower.port());
  EXPECT_EQ(config.teleop_port, leader.port());
  EXPECT_EQ(config.selected_cameras, std::vector<std::string>{"observation.images.cam_front"});
  EXPECT_NE(setup_text().find("\"last_port\": \"" + leader.port() + "\""), std::string::npos);
}

TEST_F(CaptureSetUp, SavedSetUpWithoutCamerasProbesAndKeepsThem) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower");
  armkit::FrameFileWriter frames((home_ / "front").string(), 32, 24);
  frames.write(image({24, 32, 3}));
  write_manifest({&leader, &follower},
                 Json::array({{{"name", "front"}, {"index_or_path", "virtual:" + (home_ / "front").string()}, {"fps", 30}}}));
  saved(std::nullopt);
  const auto [result, out] = resolve();
  const auto& config = std::get<cli::CaptureConfig>(result);
  ASSERT_TRUE(config.cameras);
  EXPECT_EQ((*config.cameras)["front"]["index_or_path"], "virtual:" + (home_ / "front").string());
  EXPECT_EQ(config.selected_cameras, std::vector<std::string>{"observation.images.cam_front"});
  EXPECT_NE(setup_text().find("virtual:"), std::string::npos);
}

TEST_F(CaptureSetUp, MissingFollowerMeansRescanAndTwoPortsAreNeeded) {
  armkit::SimulatedArm leader("so101_leader");
  write_manifest({&leader});
  saved(std::nullopt);
  const auto [result, out] = resolve();
  EXPECT_EQ(std::get<int>(result), 2);
  EXPECT_NE(out.find("Saved devices not connected, rescanning..."), std::string::npos) << out;
  EXPECT_NE(out.find("Found 1 motor port(s), need exactly 2 (robot + teleop)."), std::string::npos) << out;
  // The saved setup stays as it was (the leader's new path aside): no discovery result was saved.
  const auto kept = ports::load_capture_setup();
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->leader.last_port, leader.port());
  EXPECT_EQ(kept->follower.last_port, "/dev/ttyOLD1");
  EXPECT_EQ(kept->selected_cameras, std::vector<std::string>{"observation.images.cam_front"});
}

TEST_F(CaptureSetUp, AdaptersWithoutSerialNumbersAreFoundAgainAtTheirLastPort) {
  armkit::SimulatedArm leader("so101_leader"), follower("so101_follower", armkit::LeaderMotion::still);
  write_manifest({&follower, &leader}, Json::array(), false);
  const auto [first, first_out] = resolve();
  ASSERT_TRUE(std::holds_alternative<cli::CaptureConfig>(first)) << first_out;
  EXPECT_NE(first_out.find("Setup saved!"), std::string::npos) << first_out;
  EXPECT_NE(setup_text().find("\"serial_number\": \"\""), std::string::npos) << setup_text();

  const auto [second, second_out] = resolve();
  const auto& config = std::get<cli::CaptureConfig>(second);
  EXPECT_NE(second_out.find("Using saved setup: robot=" + follower.port() + ", teleop=" + leader.port()), std::string::npos)
      << second_out;
  EXPECT_EQ(second_out.find("Scanning"), std::string::npos) << second_out;
  EXPECT_EQ(second_out.find("Setup saved!"), std::string::npos) << second_out;
  EXPECT_EQ(config.teleop_port, leader.port());

  // Something else at the last port (another family) is not taken for the arm.
  armkit::SimulatedArm koch("koch_follower");
  auto setup = *ports::load_capture_setup();
  setup.follower.last_port = koch.port();
  ports::save_capture_setup(setup);
  write_manifest({&koch, &leader}, Json::array(), false);
  const auto [robot_port, teleop_port] = ports::resolve_setup_ports(setup);
  EXPECT_FALSE(robot_port);
  EXPECT_EQ(teleop_port, leader.port());
}

TEST_F(CaptureSetUp, ThreeArmsAreOneTooMany) {
  armkit::SimulatedArm a("so101_leader"), b("so101_follower"), c("so101_follower");
  write_manifest({&a, &b, &c});
  const auto [result, out] = resolve();
  EXPECT_EQ(std::get<int>(result), 2);
  EXPECT_NE(out.find("Found 3 motor port(s), need exactly 2 (robot + teleop)."), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(home_ / "tessaline" / "setup.json"));
}

}  // namespace
