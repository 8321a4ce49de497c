// The simulated servos' firmware as the vendors document it, seen through
// real pseudo-terminals: access rules, the EEPROM lock, homing offset, drive
// mode and limits applied by the servo, status return levels, error
// statuses, REG_WRITE/ACTION, ids and baud rates that hold, and EEPROM that
// survives a power cycle.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/protocol/packets.hpp"
#include "armkit/serial/pty.hpp"
#include "armkit/sim/servo_sim.hpp"

namespace {

using namespace armkit;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::vector<SimulatedServo> six(const std::string& model) {
  std::vector<SimulatedServo> s;
  for (uint8_t id = 1; id <= 6; ++id) s.push_back({id, model});
  return s;
}

std::map<std::string, Motor> motors(const std::string& model) {
  return {{"one", {1, model}}, {"two", {2, model}}};
}

// Waits until the horn of `servo` stops moving.
void settle(SimulatedBus& sim, size_t servo) {
  double last = -1e9;
  for (int i = 0; i < 200; ++i) {
    const double now = sim.actual(servo);
    if (std::abs(now - last) < 0.01) return;
    last = now;
    std::this_thread::sleep_for(20ms);
  }
}

// One raw packet out, the first status packet back (or nothing within 300 ms).
std::optional<StatusPacket> raw(const std::string& port, const Bytes& request, ServoFamily family) {
  SerialPort sp(port);
  sp.set_baudrate(1'000'000);
  sp.write(request);
  Bytes got;
  std::optional<StatusPacket> out;
  sp.read_until(got, std::chrono::steady_clock::now() + 300ms, [&](const Bytes& b) {
    const auto p = family == ServoFamily::feetech ? feetech::parse_status(b) : dynamixel::parse_status(b);
    if (p) out = p->packet;
    return p.has_value();
  });
  return out;
}

std::string refusal_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const BusError& e) {
    return e.what();
  }
  return "";
}

TEST(DynamixelFirmware, RefusesReadOnlyAndEepromWhileTorqueIsOnWithAnAccessError) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  DynamixelMotorsBus bus(sim.port(), motors("xl330-m288"));
  bus._connect(true);
  EXPECT_NE(refusal_of([&] { bus.write("Model_Number", "one", 5); }).find("access error"), std::string::npos);
  EXPECT_EQ(bus.read("Model_Number", "one"), 1200);
  bus.write("Homing_Offset", "one", -300);  // torque off: accepted
  EXPECT_EQ(bus.read("Homing_Offset", "one"), -300);
  bus.write("Torque_Enable", "one", 1);
  const std::string text = refusal_of([&] { bus.write("Homing_Offset", "one", 77); });
  EXPECT_NE(text.find("motor 1"), std::string::npos) << text;
  EXPECT_NE(text.find("access error"), std::string::npos) << text;
  EXPECT_EQ(bus.read("Homing_Offset", "one"), -300);
  bus.write("Position_P_Gain", "one", 1500);  // RAM is open while torque is on
  EXPECT_EQ(bus.read("Position_P_Gain", "one"), 1500);
  // Past the table: refused, not zeros.
  EXPECT_NE(refusal_of([&] { bus._read(200, 4, 1); }).find("access error"), std::string::npos);
}

TEST(DynamixelFirmware, ReportsInstructionCrcAndLengthErrors) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, six("xl430-w250"));
  const auto unknown = raw(sim.port(), dynamixel::instruction(3, 0x30, {}), ServoFamily::dynamixel);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->id, 3);
  EXPECT_EQ(unknown->error, dynamixel::INSTRUCTION_ERROR);
  Bytes bad_crc = dynamixel::instruction(2, READ, Bytes{132, 0, 4, 0});
  bad_crc.back() ^= 0x11;
  const auto crc = raw(sim.port(), bad_crc, ServoFamily::dynamixel);
  ASSERT_TRUE(crc);
  EXPECT_EQ(crc->id, 2);
  EXPECT_EQ(crc->error, dynamixel::CRC_ERROR);
  const auto short_read = raw(sim.port(), dynamixel::instruction(2, READ, Bytes{132, 0}), ServoFamily::dynamixel);
  ASSERT_TRUE(short_read);
  EXPECT_EQ(short_read->error, dynamixel::DATA_LENGTH_ERROR);
  EXPECT_TRUE(short_read->params.empty());
  // The ping reply carries the model and the firmware version.
  const auto ping = raw(sim.port(), dynamixel::instruction(1, PING, {}), ServoFamily::dynamixel);
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->params, (Bytes{0x24, 0x04, 45}));  // 1060, firmware 45
}

TEST(FeetechFirmware, DropsBadChecksumsKeepsReadOnlyRegistersAndReportsItsFirmware) {
  SimulatedBus sim(ServoFamily::feetech, 1'000'000, six("sts3215"));
  Bytes bad = feetech::instruction(1, PING, {});
  bad.back() ^= 1;
  EXPECT_FALSE(raw(sim.port(), bad, ServoFamily::feetech));
  FeetechMotorsBus bus(sim.port(), motors("sts3215"));
  bus._connect(true);
  bus.write("Model_Number", "one", 5);  // nothing to report it with: it just stays
  EXPECT_EQ(bus.read("Model_Number", "one"), 777);
  EXPECT_EQ(bus.read("Firmware_Major_Version", "one"), 3);
  EXPECT_EQ(bus.read("Firmware_Minor_Version", "two"), 10);
  EXPECT_EQ(bus.read("Max_Position_Limit", "two"), 4095);
  EXPECT_EQ(bus.read("Lock", "two"), 1);
}

TEST(FeetechFirmware, HomingOffsetAndLimitsActOnPresentAndGoalPositions) {
  SimulatedBus sim(ServoFamily::feetech, 1'000'000, six("sts3215"));
  FeetechMotorsBus bus(sim.port(), motors("sts3215"));
  bus._connect(true);
  sim.set_actual(0, 2500);
  bus.write("Homing_Offset", "one", 300);
  EXPECT_EQ(bus.read("Present_Position", "one"), 2200);  // present = actual - offset
  bus.write("Homing_Offset", "one", -300);  // sign in bit 11
  EXPECT_EQ(sim.read_register(1, 31, 2), 0x800u | 300u);
  EXPECT_EQ(bus.read("Present_Position", "one"), 2800);
  bus.write("Max_Position_Limit", "one", 3000);
  bus.write("Torque_Enable", "one", 1);
  EXPECT_EQ(bus.read("Goal_Position", "one"), 2800);  // torque on holds where it is
  bus.write("Goal_Position", "one", 2000);
  settle(sim, 0);
  EXPECT_NEAR(sim.actual(0), 1700, 0.5);  // the goal is in offset space too
  bus.write("Goal_Position", "one", 4000);
  settle(sim, 0);
  EXPECT_EQ(bus.read("Present_Position", "one"), 3000);  // stopped at the limit
}

TEST(DynamixelFirmware, OffsetDriveModeAndOperatingModeAsDocumented) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, six("xl330-m077"));
  DynamixelMotorsBus bus(sim.port(), motors("xl330-m077"));
  bus._connect(true);
  sim.set_actual(0, 1000);
  bus.write("Homing_Offset", "one", 500);
  EXPECT_EQ(bus.read("Present_Position", "one"), 1500);  // present = actual + offset
  bus.write("Drive_Mode", "one", 1);
  EXPECT_EQ(bus.read("Present_Position", "one"), -500);  // reversed: -actual + offset
  bus.write("Drive_Mode", "one", 0);
  bus.write("Max_Position_Limit", "one", 2000);
  bus.write("Torque_Enable", "one", 1);
  bus.write("Goal_Position", "one", 3000);
  settle(sim, 0);
  EXPECT_EQ(bus.read("Present_Position", "one"), 2000);  // position mode keeps to the limits
  bus.write("Torque_Enable", "one", 0);
  bus.write("Operating_Mode", "one", 4);  // extended position ignores them
  bus.write("Torque_Enable", "one", 1);
  bus.write("Goal_Position", "one", 3000);
  settle(sim, 0);
  EXPECT_EQ(bus.read("Present_Position", "one"), 3000);
}

TEST(ServoFirmware, StatusReturnLevelDecidesWhatIsAnswered) {
  SimulatedBus feetech_sim(ServoFamily::feetech, 1'000'000, six("sts3215"));
  FeetechMotorsBus feetech_bus(feetech_sim.port(), motors("sts3215"));
  feetech_bus._connect(true);
  feetech_bus.write("Response_Status_Level", "one", 0);
  EXPECT_NE(refusal_of([&] { feetech_bus.write("Acceleration", "one", 10); }).find("no answer"), std::string::npos);
  EXPECT_EQ(feetech_bus.read("Acceleration", "one"), 10);  // done, just not answered; reads still are
  EXPECT_TRUE(feetech_bus.ping(1));

  SimulatedBus dxl_sim(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  DynamixelMotorsBus dxl_bus(dxl_sim.port(), motors("xl330-m288"));
  dxl_bus._connect(true);
  dxl_bus.write("Status_Return_Level", "two", 1);
  EXPECT_NE(refusal_of([&] { dxl_bus.write("LED", "two", 1); }).find("no answer"), std::string::npos);
  EXPECT_EQ(dxl_bus.read("LED", "two"), 1);
  dxl_bus.write("Status_Return_Level", "one", 0);
  EXPECT_TRUE(dxl_bus.ping(1));
  EXPECT_ANY_THROW(dxl_bus.read("LED", "one"));
}

TEST(ServoFirmware, RegWriteWaitsForAction) {
  for (const auto family : {ServoFamily::feetech, ServoFamily::dynamixel}) {
    SimulatedBus sim(family, 1'000'000, six(family == ServoFamily::feetech ? "sts3215" : "xl330-m288"));
    const bool dxl = family == ServoFamily::dynamixel;
    const Bytes params = dxl ? Bytes{104, 0, 0x10, 0x27, 0, 0} : Bytes{41, 33};  // Goal_Velocity / Acceleration
    const auto ack = raw(sim.port(), dxl ? dynamixel::instruction(2, REG_WRITE, params) : feetech::instruction(2, REG_WRITE, params), family);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->error, 0);
    const uint16_t address = dxl ? 104 : 41;
    EXPECT_EQ(sim.read_register(2, address, 1), 0u);
    if (dxl) {
      EXPECT_EQ(sim.get(1, "Registered_Instruction"), 1);
    }
    const Bytes action = dxl ? dynamixel::instruction(BROADCAST_ID, ACTION, {}) : feetech::instruction(BROADCAST_ID, ACTION, {});
    EXPECT_FALSE(raw(sim.port(), action, family));  // a broadcast is never answered
    EXPECT_EQ(sim.read_register(2, address, dxl ? 4 : 1), dxl ? 10000u : 33u);
  }
}

TEST(ServoFirmware, IdAndBaudRateHoldTheirNewValues) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  DynamixelMotorsBus bus(sim.port(), motors("xl330-m288"));
  bus._connect(false);
  bus.write("ID", "one", 9);
  EXPECT_FALSE(bus.ping(1));
  EXPECT_EQ(bus.ping(9), 1200);
  bus.write(8, 1, 2, 1);  // Baud_Rate code 1: 57 600
  EXPECT_FALSE(bus.ping(2));
  bus.set_baudrate(57'600);
  EXPECT_EQ(bus.ping(2), 1200);
  EXPECT_FALSE(bus.ping(3));  // the others stayed at 1 Mbps
}

TEST(ServoFirmware, EepromSurvivesAPowerCycleButRamAndLockedFeetechWritesDoNot) {
  std::vector<SimulatedBus::Eeprom> saved;
  {
    SimulatedBus sim(ServoFamily::feetech, 1'000'000, six("sts3215"));
    FeetechMotorsBus bus(sim.port(), motors("sts3215"));
    bus._connect(true);
    bus.write("Lock", "one", 0);
    bus.write("Homing_Offset", "one", 123);
    bus.write("Min_Position_Limit", "two", 456);  // Lock is 1 on motor two: acts now, gone after power-off
    EXPECT_EQ(bus.read("Min_Position_Limit", "two"), 456);
    bus.write("Torque_Enable", "one", 1);
    saved = sim.saved_eeprom();
  }
  SimulatedBus again(ServoFamily::feetech, 1'000'000, six("sts3215"));
  again.load_eeprom(saved);
  EXPECT_EQ(again.get(0, "Homing_Offset"), 123);
  EXPECT_EQ(again.get(0, "Torque_Enable"), 0);
  EXPECT_EQ(again.get(0, "Lock"), 1);
  EXPECT_EQ(again.get(1, "Min_Position_Limit"), 0);
}

// A servo line that first sends a stray answer (another motor's, or another
// request's) and then the real one.
TEST(MotorBus, AReplyForAnotherRequestIsSetAsideNeverTaken) {
  PseudoTerminal line;
  std::atomic<bool> stop{false};
  std::thread servo([&] {
    Bytes in;
    while (!stop) {
      uint8_t buf[64];
      const ssize_t n = ::read(line.master_fd(), buf, sizeof buf);
      if (n <= 0) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      in.insert(in.end(), buf, buf + n);
      const auto p = feetech::parse_instruction(in);
      if (!p) continue;
      in.clear();
      Bytes out = feetech::status(2, 0, Bytes{0x11, 0x22});  // late answer meant for motor 2
      const Bytes wrong_size = feetech::status(1, 0, Bytes{0x33});
      const Bytes right = feetech::status(1, 0, Bytes{0x10, 0x04});
      out.insert(out.end(), wrong_size.begin(), wrong_size.end());
      out.insert(out.end(), right.begin(), right.end());
      [[maybe_unused]] auto w = ::write(line.master_fd(), out.data(), out.size());
    }
  });
  FeetechMotorsBus bus(line.slave_path());
  bus._connect(false);
  EXPECT_EQ(std::get<0>(bus._read(56, 2, 1)), 0x0410u);
  stop = true;
  servo.join();
}

TEST(MotorBus, HandshakeNamesAWrongModelAndWhatAnswered) {
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000,
                   {{1, "xl430-w250"}, {2, "xl430-w250"}, {3, "xl330-m077"}, {4, "xl330-m288"}});
  DynamixelMotorsBus bus(sim.port(), {{"shoulder_pan", {1, "xl430-w250"}},
                                      {"elbow_flex", {3, "xl330-m288"}},
                                      {"gripper", {6, "xl330-m288"}}});
  const std::string text = refusal_of([&] { bus._connect(true); });
  EXPECT_NE(text.find("'elbow_flex' (id 3)"), std::string::npos) << text;
  EXPECT_NE(text.find("xl330-m077 (model 1190), expected a xl330-m288"), std::string::npos) << text;
  EXPECT_NE(text.find("'gripper' (id 6) did not answer on " + sim.port()), std::string::npos) << text;
  EXPECT_NE(text.find("motors that answered: 1, 3"), std::string::npos) << text;
  EXPECT_FALSE(bus.is_connected());
}

TEST(MotorScan, FindsArmsAtTheRarerFeetechRates) {
  SimulatedBus sim(ServoFamily::feetech, 76'800, six("sts3215"));
  EXPECT_EQ(FeetechMotorsBus::scan_port(sim.port()), (std::map<int, std::vector<int>>{{76'800, {1, 2, 3, 4, 5, 6}}}));
}

}  // namespace

// ---- The firmware alone: bytes in, status packets out ----

std::vector<StatusPacket> statuses(ServoFirmware& fw, const Bytes& request) {
  std::vector<StatusPacket> out;
  for (const auto& a : fw.receive(request, 1'000'000)) {
    const auto p = fw.family() == ServoFamily::feetech ? feetech::parse_status(a.bytes) : dynamixel::parse_status(a.bytes);
    out.push_back(p->packet);
  }
  return out;
}

TEST(ServoFirmware, ASyncWriteEntryCutShortChangesNothing) {
  for (const auto family : {ServoFamily::feetech, ServoFamily::dynamixel}) {
    const bool dxl = family == ServoFamily::dynamixel;
    ServoFirmware fw(family, 1'000'000, six(dxl ? "xl330-m288" : "sts3215"));
    const uint16_t goal = dxl ? 116 : 42;
    const size_t size = dxl ? 4 : 2;
    const uint32_t before = fw.read_register(2, goal, static_cast<int>(size));
    // Servo 1 gets a whole entry; servo 2's entry lacks its last byte.
    Bytes params = dxl ? Bytes{static_cast<uint8_t>(goal), 0, static_cast<uint8_t>(size), 0} : Bytes{static_cast<uint8_t>(goal), static_cast<uint8_t>(size)};
    params.push_back(1);
    for (size_t i = 0; i < size; ++i) params.push_back(0x11);
    params.push_back(2);
    for (size_t i = 0; i + 1 < size; ++i) params.push_back(0x7F);
    const Bytes packet = dxl ? dynamixel::instruction(BROADCAST_ID, SYNC_WRITE, params) : feetech::instruction(BROADCAST_ID, SYNC_WRITE, params);
    EXPECT_TRUE(fw.receive(packet, 1'000'000).empty());
    EXPECT_EQ(fw.read_register(1, goal, static_cast<int>(size)), dxl ? 0x11111111u : 0x1111u);
    EXPECT_EQ(fw.read_register(2, goal, static_cast<int>(size)), before) << (dxl ? "dynamixel" : "feetech");
  }
}

TEST(DynamixelFirmware, BulkReadAnswersEachServoItsOwnRangeInTheOrderAsked) {
  ServoFirmware fw(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  fw.set(2, "Homing_Offset", 1234);
  // As the vendor's GroupBulkRead asks: servo 3's Homing_Offset, servo 1's model number, an absent servo 9.
  const Bytes params{3, 20, 0, 4, 0, 1, 0, 0, 2, 0, 9, 0, 0, 1, 0};
  const auto got = statuses(fw, dynamixel::instruction(BROADCAST_ID, 0x92, params));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, 3);
  EXPECT_EQ(got[0].params, (Bytes{0xD2, 0x04, 0, 0}));
  EXPECT_EQ(got[1].id, 1);
  EXPECT_EQ(got[1].params, (Bytes{0xB0, 0x04}));  // 1200
  // A malformed list (not whole entries) is not answered.
  EXPECT_TRUE(statuses(fw, dynamixel::instruction(BROADCAST_ID, 0x92, Bytes{3, 20, 0, 4})).empty());
}

// As the documentation has them: an ACTION with nothing registered is an
// instruction error, a write of part of a register a data length error, an
// operating mode the servo does not have a data range error; none changes anything.
TEST(DynamixelFirmware, RefusesWhatTheDocumentationRefuses) {
  ServoFirmware fw(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  const auto action = statuses(fw, dynamixel::instruction(1, ACTION, {}));
  ASSERT_EQ(action.size(), 1u);
  EXPECT_EQ(action[0].error, dynamixel::INSTRUCTION_ERROR);
  const int32_t goal = fw.get(0, "Goal_Position");
  const auto part = statuses(fw, dynamixel::instruction(1, WRITE, Bytes{116, 0, 0x10}));  // 1 byte of the 4-byte Goal_Position
  ASSERT_EQ(part.size(), 1u);
  EXPECT_EQ(part[0].error, dynamixel::DATA_LENGTH_ERROR);
  EXPECT_EQ(fw.get(0, "Goal_Position"), goal);
  const int32_t mode = fw.get(0, "Operating_Mode");
  const auto nine = statuses(fw, dynamixel::instruction(1, WRITE, Bytes{11, 0, 9}));
  ASSERT_EQ(nine.size(), 1u);
  EXPECT_EQ(nine[0].error, dynamixel::DATA_RANGE_ERROR);
  EXPECT_EQ(fw.get(0, "Operating_Mode"), mode);
  EXPECT_EQ(statuses(fw, dynamixel::instruction(1, WRITE, Bytes{11, 0, 4}))[0].error, 0);  // extended position: a mode it has
  EXPECT_EQ(fw.get(0, "Operating_Mode"), 4);
}

TEST(DynamixelFirmware, RebootAnswersThenStartsAgainWithRamReset) {
  ServoFirmware fw(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  fw.set(0, "Homing_Offset", -500);  // EEPROM: kept
  fw.set(0, "Torque_Enable", 1);     // RAM: back to off
  fw.set(0, "Position_P_Gain", 1500);
  const auto got = statuses(fw, dynamixel::instruction(1, 0x08));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 1);
  EXPECT_EQ(got[0].error, 0);
  EXPECT_EQ(fw.get(0, "Torque_Enable"), 0);
  EXPECT_EQ(fw.get(0, "Position_P_Gain"), 400);
  EXPECT_EQ(fw.get(0, "Homing_Offset"), -500);
  EXPECT_EQ(fw.get(1, "Torque_Enable"), 0);
}

TEST(ServoFirmware, AnswersComeAfterTheServosReturnDelay) {
  for (const auto family : {ServoFamily::dynamixel, ServoFamily::feetech}) {
    const bool dxl = family == ServoFamily::dynamixel;
    ServoFirmware fw(family, 1'000'000, six(dxl ? "xl330-m288" : "sts3215"));
    fw.set(0, "Return_Delay_Time", 250);
    const Bytes ping = dxl ? dynamixel::instruction(1, PING) : feetech::instruction(1, PING);
    const auto answers = fw.receive(ping, 1'000'000);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].delay, std::chrono::microseconds(500));
    fw.set(0, "Return_Delay_Time", 0);
    EXPECT_EQ(fw.receive(ping, 1'000'000)[0].delay, std::chrono::microseconds(0));
  }
  // And on the line: at the Dynamixel default of 250, no answer comes sooner than 500 µs.
  SimulatedBus sim(ServoFamily::dynamixel, 1'000'000, six("xl330-m288"));
  SerialPort sp(sim.port());
  sp.set_baudrate(1'000'000);
  auto fastest = std::chrono::nanoseconds::max();
  for (int i = 0; i < 20; ++i) {
    Bytes got;
    const auto t0 = std::chrono::steady_clock::now();
    sp.write(dynamixel::instruction(1, PING));
    sp.read_until(got, t0 + 300ms, [](const Bytes& b) { return dynamixel::parse_status(b).has_value(); });
    fastest = std::min(fastest, std::chrono::steady_clock::now() - t0);
  }
  EXPECT_GE(fastest, 500us);
}
