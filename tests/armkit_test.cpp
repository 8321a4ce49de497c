// Servo protocols against known packets, and the buses against simulated
// servos on real pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/protocol/packets.hpp"
#include "armkit/sim/servo_sim.hpp"

namespace {

using namespace armkit;
using Bytes = std::vector<uint8_t>;

TEST(ServoPackets, KnownPacketsFromTheProtocolDocuments) {
  EXPECT_EQ(feetech::instruction(1, PING), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));
  EXPECT_EQ(dynamixel::instruction(1, PING), (Bytes{0xFF, 0xFF, 0xFD, 0x00, 0x01, 0x03, 0x00, 0x01, 0x19, 0x4E}));
  EXPECT_EQ(dynamixel::instruction(0xFE, PING), (Bytes{0xFF, 0xFF, 0xFD, 0x00, 0xFE, 0x03, 0x00, 0x01, 0x31, 0x42}));
  const std::string check = "123456789";
  EXPECT_EQ(dynamixel::crc16(Bytes(check.begin(), check.end())), 0xFEE8);
}

TEST(ServoPackets, StuffingRoundTripsAndCountsInTheLength) {
  const Bytes body{0x03, 0x10, 0x00, 0xFF, 0xFF, 0xFD, 0x01};
  EXPECT_EQ(dynamixel::stuff(body), (Bytes{0x03, 0x10, 0x00, 0xFF, 0xFF, 0xFD, 0xFD, 0x01}));
  EXPECT_EQ(dynamixel::unstuff(dynamixel::stuff(body)), body);
  const Bytes packet = dynamixel::status(7, 0, Bytes{0xFF, 0xFF, 0xFD, 0x02});
  const auto parsed = dynamixel::parse_status(packet);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->packet.params, (Bytes{0xFF, 0xFF, 0xFD, 0x02}));
  EXPECT_EQ(parsed->consumed, packet.size());
}

TEST(ServoPackets, StatusParsingSkipsNoiseWaitsForMoreAndRejectsCorruption) {
  Bytes stream{0x00, 0x13};
  const Bytes status = feetech::status(3, 0x20, Bytes{0x09, 0x03});
  stream.insert(stream.end(), status.begin(), status.end());
  const auto parsed = feetech::parse_status(stream);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->packet.id, 3);
  EXPECT_EQ(parsed->packet.error, 0x20);  // overload
  EXPECT_EQ(parsed->packet.params, (Bytes{0x09, 0x03}));
  EXPECT_FALSE(feetech::parse_status(std::span(stream).first(stream.size() - 1)));
  Bytes bad = status;
  bad[5] ^= 1;
  EXPECT_THROW(feetech::parse_status(bad), ProtocolError);
  Bytes bad_dxl = dynamixel::status(1, 0, Bytes{1, 2});
  bad_dxl[9] ^= 1;
  EXPECT_THROW(dynamixel::parse_status(bad_dxl), ProtocolError);
}

TEST(ServoPackets, SignMagnitude) {
  EXPECT_EQ(encode_sign_magnitude(-5, 15), 0x8005u);
  EXPECT_EQ(decode_sign_magnitude(0x8005, 15), -5);
  EXPECT_EQ(decode_sign_magnitude(encode_sign_magnitude(1000, 15), 15), 1000);
  EXPECT_EQ(decode_sign_magnitude(0x0405, 10), -5);
}

std::vector<SimulatedServo> arm(const std::string& model) {
  std::vector<SimulatedServo> s;
  for (uint8_t id = 1; id <= 6; ++id) s.push_back({id, model});
  return s;
}

TEST(MotorScan, FindsEveryMotorAtItsRateOnlyAndQuickly) {
  SimulatedBus feetech_arm(ServoFamily::feetech, 1'000'000, arm("sts3215"));
  SimulatedBus dynamixel_arm(ServoFamily::dynamixel, 57'600, arm("xl330-m077"));
  const auto t0 = std::chrono::steady_clock::now();
  const auto f = FeetechMotorsBus::scan_port(feetech_arm.port());
  const auto t1 = std::chrono::steady_clock::now();
  const auto d = DynamixelMotorsBus::scan_port(dynamixel_arm.port());
  const auto t2 = std::chrono::steady_clock::now();
  EXPECT_EQ(f, (std::map<int, std::vector<int>>{{1'000'000, {1, 2, 3, 4, 5, 6}}}));
  EXPECT_EQ(d, (std::map<int, std::vector<int>>{{57'600, {1, 2, 3, 4, 5, 6}}}));
  // Wrong family on a port: nothing.
  EXPECT_TRUE(DynamixelMotorsBus::scan_port(feetech_arm.port()).empty());
  std::printf("scan: feetech %.0f ms, dynamixel %.0f ms\n",
              std::chrono::duration<double, std::milli>(t1 - t0).count(),
              std::chrono::duration<double, std::milli>(t2 - t1).count());
}

class BusOnSimulator : public ::testing::Test {
 protected:
  SimulatedBus sim_{ServoFamily::feetech, 1'000'000, arm("sts3215")};
  FeetechMotorsBus bus_{sim_.port(), {{"shoulder_pan", {1, "sts3215"}}, {"gripper", {6, "sts3215"}}}};
  void SetUp() override { bus_._connect(true); }
};

TEST_F(BusOnSimulator, ReadsWritesAndSyncs) {
  EXPECT_EQ(std::get<0>(bus_._read(3, 2, 1)), 777u);
  bus_.write(42, 2, 2, 2048);
  EXPECT_EQ(sim_.read_register(2, 42, 2), 2048u);
  bus_.sync_write(42, 2, {{1, 100}, {3, 300}, {6, 4000}});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no reply to wait for
  const auto goals = bus_.sync_read(42, 2, {1, 2, 3, 6});
  EXPECT_EQ(goals, (std::map<uint8_t, uint32_t>{{1, 100}, {2, 2048}, {3, 300}, {6, 4000}}));
}

// A servo answering late answers every attempt of a retried request, one
// after another: each late answer must be drained, never taken for the next
// request's (same motor, same size), however many attempts went out.
TEST_F(BusOnSimulator, LateAnswersOfRetriedRequestsAreNeverTakenForTheNext) {
  sim_.set_actual(0, 1234);  // motor 1
  for (const int delay : {30, 40, 60, 80, 100, 130, 160}) {
    sim_.delay_requests(std::chrono::milliseconds(delay));
    EXPECT_EQ(std::get<0>(bus_._read(3, 2, 1)), 777u) << delay << " ms";
    EXPECT_EQ(std::get<0>(bus_._read(56, 2, 1)), 1234u) << delay << " ms";
    EXPECT_EQ(std::get<0>(bus_._read(3, 2, 1)), 777u) << delay << " ms";
  }
}

// A slow adapter or a late servo thread: once an answer came only on a
// retry, the bus listens that long at once. Retrying every request would
// cost each one two answers and a drain.
TEST_F(BusOnSimulator, ALateBusIsAnsweredAtTheFirstTryOnceLearned) {
  sim_.set_actual(0, 1234);  // motor 1
  sim_.delay_requests(std::chrono::milliseconds(40));
  bus_._read(3, 2, 1);  // retried: learns how late the answers are
  bus_._read(3, 2, 1);
  constexpr size_t kReads = 10;
  const size_t before = sim_.answers_sent();
  for (size_t i = 0; i < kReads; ++i) EXPECT_EQ(std::get<0>(bus_._read(56, 2, 1)), 1234u);
  sim_.delay_requests(std::chrono::milliseconds(0));
  bus_._read(3, 2, 1);  // drains any answers still coming
  const size_t answers = sim_.answers_sent() - before - 1;
  // Each retry costs an answer more; a busy machine may cause a few.
  EXPECT_LT(answers, kReads * 3 / 2) << answers << " answers for " << kReads << " reads";
}

TEST_F(BusOnSimulator, LostAndGarbledAnswersAreRetriedThenReportedClearly) {
  sim_.set_actual(3, 1234);  // motor 4
  sim_.drop_answers(1);
  EXPECT_EQ(std::get<0>(bus_._read(56, 2, 4)), 1234u);
  sim_.corrupt_answers(2);
  EXPECT_EQ(std::get<0>(bus_._read(56, 2, 4)), 1234u);
  sim_.drop_answers(10);
  try {
    bus_._read(56, 2, 4);
    FAIL() << "a silent motor was not reported";
  } catch (const BusError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("motor 4"), std::string::npos) << text;
    EXPECT_NE(text.find(sim_.port()), std::string::npos) << text;
  }
  sim_.drop_answers(0);
  // A sync read whose first attempt lost the first servos' answers: the
  // retry's answers from the others are no strays (they once made every
  // later attempt fail with "a reply that does not fit the request").
  const std::vector<uint8_t> ids{1, 2, 3, 4, 5, 6};
  for (const int lost : {1, 2, 5}) {
    sim_.drop_answers(lost);
    const auto read = bus_.sync_read(56, 2, ids);
    EXPECT_EQ(read.size(), ids.size()) << lost << " answers lost";
    EXPECT_EQ(read.at(4), 1234u);
  }
  sim_.set_error_byte(0x20);
  EXPECT_EQ(std::get<2>(bus_._read(56, 2, 4)), 0x20);  // the value still comes, with the servo's error
  EXPECT_THROW(bus_.write(42, 2, 4, 1), BusError);
}

TEST(MotorBus, HandshakeNamesTheMissingMotor) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, {{1, "xl430-w250"}, {2, "xl430-w250"}});
  DynamixelMotorsBus bus(sim.port(), {{"shoulder_pan", {1, "xl430-w250"}}, {"elbow_flex", {3, "xl330-m288"}}});
  try {
    bus._connect(true);
    FAIL();
  } catch (const BusError& e) {
    EXPECT_NE(std::string(e.what()).find("'elbow_flex' (id 3)"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(bus.is_connected());
}

}  // namespace
