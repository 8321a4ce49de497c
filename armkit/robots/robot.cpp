#include "armkit/robots/robot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "armkit/protocol/packets.hpp"
#include "armkit/robots/arm_kinds.hpp"
#include "kit/json/text.hpp"
#include "kit/log/logger.hpp"

namespace armkit {
namespace {

kit::log::Logger& log() { return kit::log::get_logger("lerobot.robots"); }

constexpr double kStepsPerTurn = 4096.0;
constexpr int kTorqueAttempts = 3;

std::unique_ptr<MotorsBus> make_bus(const ArmKind& spec, const std::string& port) {
  std::map<std::string, Motor> motors(spec.joints.begin(), spec.joints.end());
  if (spec.family == ServoFamily::feetech) return std::make_unique<FeetechMotorsBus>(port, motors);
  return std::make_unique<DynamixelMotorsBus>(port, motors);
}

// calibration/<robots|teleoperators>/<type>/<id>.json; the default mapping when absent.
std::vector<JointCalibration> load_calibration(const std::string& type, bool follower, const std::optional<std::string>& id,
                                               const ArmKind& spec) {
  std::vector<JointCalibration> out(spec.joints.size());
  if (!id) return out;
  const std::string path = calibration_directory() + (follower ? "/robots/" : "/teleoperators/") + type + "/" + *id + ".json";
  std::ifstream in(path);
  if (!in) return out;
  const auto doc = kit::json::Json::parse(in);  // a broken file is an error, not silently the default
  for (size_t i = 0; i < spec.joints.size(); ++i) {
    const auto it = doc.find(spec.joints[i].first);
    if (it == doc.end()) continue;
    out[i].drive_mode = it->value("drive_mode", 0);
    out[i].homing_offset = it->value("homing_offset", 0);
    out[i].range_min = it->value("range_min", 0);
    out[i].range_max = it->value("range_max", 4095);
    if (out[i].range_max <= out[i].range_min) throw std::invalid_argument(path + ": empty range for " + spec.joints[i].first);
  }
  return out;
}

bool is_gripper(const std::string& joint) { return joint == "gripper"; }

}  // namespace

std::string calibration_directory() {
  if (const char* home = std::getenv("HF_LEROBOT_HOME")) return std::string(home) + "/calibration";
  const char* hf = std::getenv("HF_HOME");
  const std::string base = hf ? hf : std::string(std::getenv("HOME") ? std::getenv("HOME") : "/") + "/.cache/huggingface";
  return base + "/lerobot/calibration";
}

RobotConfig::Class RobotConfig::get_choice_class(const std::string& type) {
  if (type.find("_follower") == std::string::npos) {
    throw std::invalid_argument("'" + type + "' is not a robot type (so100_follower, so101_follower, koch_follower)");
  }
  arm_kind(type);
  return [type](std::string port, std::map<std::string, OpenCVCameraConfig> cameras) {
    RobotConfig c;
    c.type = type;
    c.port = std::move(port);
    c.cameras = std::move(cameras);
    return c;
  };
}

TeleoperatorConfig::Class TeleoperatorConfig::get_choice_class(const std::string& type) {
  if (type.find("_leader") == std::string::npos) {
    throw std::invalid_argument("'" + type + "' is not a teleoperator type (so100_leader, so101_leader, koch_leader)");
  }
  arm_kind(type);
  return [type](std::string port) {
    TeleoperatorConfig c;
    c.type = type;
    c.port = std::move(port);
    return c;
  };
}

// ---- ServoArm ----

ServoArm::ServoArm(const std::string& type, std::string port, std::optional<std::string> id, bool follower)
    : type_(type), follower_(follower) {
  const ArmKind& spec = arm_kind(type);
  bus_ = make_bus(spec, std::move(port));
  joints_ = spec.joints;
  calibration_ = load_calibration(type, follower, id, spec);
}

ServoArm::~ServoArm() {
  if (is_connected()) disconnect();
}

std::vector<std::string> ServoArm::joint_names() const {
  std::vector<std::string> out;
  for (const auto& [name, motor] : joints_) out.push_back(name);
  return out;
}

void ServoArm::connect() {
  bus_->_connect(true);
  try {
    set_torque(follower_);
    read_positions();
  } catch (...) {
    try {
      set_torque(false);
    } catch (const std::exception&) {
    }
    bus_->port_handler.closePort();
    throw;
  }
}

void ServoArm::set_torque(bool on) {
  std::map<std::string, int32_t> values;
  for (const auto& [name, motor] : joints_) values[name] = on ? 1 : 0;
  std::exception_ptr last;
  for (int attempt = 0; attempt < kTorqueAttempts; ++attempt) {
    try {
      bus_->sync_write("Torque_Enable", values);
      // A sync write gets no answer of its own: read every motor back.
      if (bus_->sync_read("Torque_Enable", joint_names()) == values) return;
    } catch (const std::exception&) {
      last = std::current_exception();
    }
  }
  if (last) std::rethrow_exception(last);
  throw BusError("torque did not change on " + bus_->port);
}

void ServoArm::disconnect() {
  if (!is_connected()) return;
  try {
    if (follower_) set_torque(false);
  } catch (const std::exception& e) {
    log().warning("Could not release torque on {}: {}", bus_->port, e.what());
  }
  bus_->port_handler.closePort();
}

double ServoArm::to_normalised(size_t joint, int32_t raw) const {
  const JointCalibration& c = calibration_[joint];
  const double v = raw - c.homing_offset;
  if (is_gripper(joints_[joint].first)) {
    const double pct = (v - c.range_min) * 100.0 / (c.range_max - c.range_min);
    return c.drive_mode ? 100.0 - pct : pct;
  }
  const double deg = (v - (c.range_min + c.range_max) / 2.0) * 360.0 / kStepsPerTurn;
  return c.drive_mode ? -deg : deg;
}

int32_t ServoArm::to_raw(size_t joint, double value) const {
  const JointCalibration& c = calibration_[joint];
  double v;
  if (is_gripper(joints_[joint].first)) {
    const double pct = c.drive_mode ? 100.0 - value : value;
    v = c.range_min + pct * (c.range_max - c.range_min) / 100.0;
  } else {
    const double deg = c.drive_mode ? -value : value;
    v = (c.range_min + c.range_max) / 2.0 + deg * kStepsPerTurn / 360.0;
  }
  v = std::clamp(v, static_cast<double>(c.range_min), static_cast<double>(c.range_max));
  return static_cast<int32_t>(std::lround(v)) + c.homing_offset;
}

std::vector<double> ServoArm::read_positions() {
  const auto raw = bus_->sync_read("Present_Position", joint_names());
  std::vector<double> out;
  last_raw_.clear();
  for (size_t i = 0; i < joints_.size(); ++i) {
    const int32_t value = raw.at(joints_[i].first);
    last_raw_.push_back(value);
    out.push_back(to_normalised(i, value));
  }
  return out;
}

std::vector<double> ServoArm::write_goals(const std::vector<double>& goals, double max_step_degrees) {
  if (goals.size() != joints_.size()) throw std::invalid_argument("one goal per joint is needed");
  if (last_raw_.size() != joints_.size()) read_positions();
  const int32_t max_step = static_cast<int32_t>(std::lround(max_step_degrees * kStepsPerTurn / 360.0));
  std::map<std::string, int32_t> values;
  std::vector<double> sent;
  for (size_t i = 0; i < joints_.size(); ++i) {
    int32_t raw = to_raw(i, goals[i]);
    raw = std::clamp(raw, last_raw_[i] - max_step, last_raw_[i] + max_step);
    const JointCalibration& c = calibration_[i];
    raw = std::clamp(raw, c.range_min + c.homing_offset, c.range_max + c.homing_offset);
    values[joints_[i].first] = raw;
    sent.push_back(to_normalised(i, raw));
  }
  try {
    bus_->sync_write("Goal_Position", values);
  } catch (...) {
    try {
      set_torque(false);
    } catch (const std::exception&) {
    }
    throw;
  }
  return sent;
}

// ---- Robot and Teleoperator ----

Robot::Robot(RobotConfig c) : config(std::move(c)), name(config.type), arm_(config.type, config.port, config.id, true) {
  for (const auto& [camera_name, camera_config] : config.cameras) {
    cameras[camera_name] = std::make_unique<Camera>(camera_config);
  }
}

Robot::~Robot() { disconnect(); }

void Robot::connect() {
  arm_.connect();
  try {
    for (auto& [n, camera] : cameras) camera->connect();
  } catch (...) {
    disconnect();
    throw;
  }
}

void Robot::disconnect() {
  for (auto& [n, camera] : cameras) camera->disconnect();
  arm_.disconnect();
}

bool Robot::is_connected() const { return arm_.is_connected(); }

Observation Robot::get_observation() {
  Observation obs;
  try {
    const auto names = arm_.joint_names();
    const auto positions = arm_.read_positions();
    for (size_t i = 0; i < names.size(); ++i) obs.set(names[i] + ".pos", positions[i]);
    for (auto& [camera_name, camera] : cameras) obs.set(camera_name, camera->read_latest());
  } catch (...) {
    try {
      arm_.set_torque(false);
    } catch (const std::exception&) {
    }
    throw;
  }
  return obs;
}

Action Robot::send_action(const Action& action) {
  const auto names = arm_.joint_names();
  std::vector<double> goals;
  for (const auto& n : names) goals.push_back(action.at(n + ".pos").as_double());
  const auto sent = arm_.write_goals(goals, config.max_step_degrees);
  Action out;
  for (size_t i = 0; i < names.size(); ++i) out.set(names[i] + ".pos", sent[i]);
  return out;
}

Teleoperator::Teleoperator(TeleoperatorConfig c) : config(std::move(c)), arm_(config.type, config.port, config.id, false) {}

void Teleoperator::connect() { arm_.connect(); }
void Teleoperator::disconnect() { arm_.disconnect(); }
bool Teleoperator::is_connected() const { return arm_.is_connected(); }

Action Teleoperator::get_action() {
  const auto names = arm_.joint_names();
  const auto positions = arm_.read_positions();
  Action out;
  for (size_t i = 0; i < names.size(); ++i) out.set(names[i] + ".pos", positions[i]);
  return out;
}

std::unique_ptr<Robot> make_robot_from_config(const RobotConfig& config) { return std::make_unique<Robot>(config); }
std::unique_ptr<Teleoperator> make_teleoperator_from_config(const TeleoperatorConfig& config) {
  return std::make_unique<Teleoperator>(config);
}

}  // namespace armkit
