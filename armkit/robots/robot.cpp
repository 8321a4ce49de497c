#include "armkit/robots/robot.hpp"

#include <cstdio>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "armkit/robots/arm_kinds.hpp"
#include "armkit/robots/arm_setup.hpp"
#include "armkit/robots/normalization.hpp"
#include "kit/log/logger.hpp"

namespace armkit {
namespace {

kit::log::Logger& log() { return kit::log::get_logger("lerobot.robots"); }

constexpr double kStepsPerTurn = 4096.0;

std::unique_ptr<MotorsBus> make_bus(const ArmKind& spec, const std::string& port) {
  std::map<std::string, Motor> motors(spec.joints.begin(), spec.joints.end());
  if (spec.family == ServoFamily::feetech) return std::make_unique<FeetechMotorsBus>(port, motors);
  return std::make_unique<DynamixelMotorsBus>(port, motors);
}

const MotorCalibration& entry(const Calibration& calibration, const std::string& joint) {
  if (const MotorCalibration* c = find_motor(calibration, joint)) return *c;
  throw std::invalid_argument("the calibration has no entry for " + joint);
}

}  // namespace

double MaxRelativeTarget::for_motor(const std::string& motor) const {
  if (all) return *all;
  const auto it = per_motor.find(motor);
  if (it == per_motor.end()) throw std::invalid_argument("max_relative_target names no bound for " + motor);
  return it->second;
}

std::string describe(const CalibrationProblem& p) {
  const std::string arm = p.type + (p.id ? " '" + *p.id + "'" : "") + " on " + p.port;
  if (!p.file_found) return arm + " has no calibration (no file at " + p.file.string() + ")";
  return arm + ": the servos do not hold the calibration in " + p.file.string() + ":" + p.detail;
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

ServoArm::ServoArm(const std::string& type, std::string port, std::optional<std::string> id, bool follower,
                   CalibrationHandler on_problem, ArmSettings settings)
    : type_(type), id_(std::move(id)), follower_(follower), on_problem_(std::move(on_problem)), settings_(settings) {
  const ArmKind& spec = arm_kind(type);
  bus_ = make_bus(spec, std::move(port));
  joints_ = spec.joints;
}

ServoArm::~ServoArm() {
  if (is_connected()) disconnect();
}

std::vector<std::string> ServoArm::joint_names() const {
  std::vector<std::string> out;
  for (const auto& [name, motor] : joints_) out.push_back(name);
  return out;
}

std::filesystem::path ServoArm::calibration_file() const {
  const std::string id = id_.value_or("None");
  if (settings_.calibration_dir) return *settings_.calibration_dir / (id + ".json");
  return find_calibration(type_, id).value_or(calibration_path(type_, id));
}

std::filesystem::path ServoArm::calibration_save_path() const {
  const std::string id = id_.value_or("None");
  return settings_.calibration_dir ? *settings_.calibration_dir / (id + ".json") : calibration_path(type_, id);
}

void ServoArm::connect(bool check_calibration) {
  bus_->_connect(true);
  try {
    if (!check_calibration) return;
    ensure_calibrated();
    configure();
    read_positions();
  } catch (...) {
    try {
      armkit::set_torque(*bus_, joint_names(), false);
    } catch (const std::exception&) {
    }
    bus_->port_handler.closePort();
    throw;
  }
}

void ServoArm::configure() {
  // The Koch leader's trigger is sent to its open position only on servos that hold a calibration.
  std::optional<Calibration> held;
  if (calibration_ && !calibration_mismatch(*bus_, *calibration_)) held = calibration_;
  configure_arm(*bus_, type_, held ? &*held : nullptr, settings_.gripper_open_pos);
}

void ServoArm::ensure_calibrated() {
  CalibrationProblem problem{type_, id_, bus_->port, calibration_file(), false, ""};
  if (!calibration_ && std::filesystem::exists(problem.file)) calibration_ = load_calibration(problem.file);
  auto mismatch = [&]() -> std::optional<std::string> {
    if (!calibration_) return "no calibration";
    const auto lines = calibration_mismatch(*bus_, *calibration_);
    if (!lines) return std::nullopt;
    std::string text;
    for (const auto& l : *lines) text += "\n  - " + l;
    return text;
  };
  auto difference = mismatch();
  if (!difference) return;
  log().warning("Mismatch between calibration values in the motor and the calibration file or no calibration file found");
  problem.file_found = std::filesystem::exists(problem.file);
  problem.detail = *difference;
  if (!on_problem_) throw CalibrationError(problem, describe(problem));
  on_problem_(*this, problem);
  difference = mismatch();
  if (difference) {
    problem.file_found = calibration_.has_value();
    problem.detail = *difference;
    throw CalibrationError(problem, describe(problem));
  }
}

void ServoArm::set_torque(bool on) { armkit::set_torque(*bus_, joint_names(), on); }

void ServoArm::disconnect() {
  if (!is_connected()) return;
  if (!(follower_ && settings_.keep_torque_on_disconnect)) {
    try {
      set_torque(false);
    } catch (const std::exception& e) {
      log().warning("Could not release torque on {}: {}", bus_->port, e.what());
    }
  }
  bus_->port_handler.closePort();
}

std::vector<int32_t> ServoArm::read_raw_positions() {
  const auto raw = bus_->sync_read("Present_Position", joint_names());
  std::vector<int32_t> out;
  for (const auto& [name, motor] : joints_) out.push_back(raw.at(name));
  return out;
}

double ServoArm::to_value(const std::string& joint, int32_t raw) const {
  if (!calibration_) throw std::logic_error(type_ + " on " + bus_->port + " is not calibrated");
  return normalize(norm_mode(type_, joint, settings_.use_degrees), entry(*calibration_, joint), raw,
                   applies_drive_mode(bus_->family));
}

int32_t ServoArm::to_raw(const std::string& joint, double value) const {
  if (!calibration_) throw std::logic_error(type_ + " on " + bus_->port + " is not calibrated");
  const MotorCalibration& c = entry(*calibration_, joint);
  const int32_t raw = unnormalize(norm_mode(type_, joint, settings_.use_degrees), c, value, applies_drive_mode(bus_->family));
  return std::clamp(raw, std::min(c.range_min, c.range_max), std::max(c.range_min, c.range_max));
}

std::vector<double> ServoArm::read_positions() {
  if (!calibration_) throw std::logic_error(type_ + " on " + bus_->port + " is not calibrated");
  last_raw_ = read_raw_positions();
  std::vector<double> out;
  for (size_t i = 0; i < joints_.size(); ++i) out.push_back(to_value(joints_[i].first, last_raw_[i]));
  return out;
}

std::vector<double> ServoArm::write_goals(const std::vector<double>& goals, double max_step_degrees,
                                          const std::optional<MaxRelativeTarget>& relative, double* farthest,
                                          bool step_full_turn) {
  if (goals.size() != joints_.size()) throw std::invalid_argument("one goal per joint is needed");
  // The framework's clamp works from a fresh reading, in normalised units.
  const std::vector<double> present = relative ? read_positions() : std::vector<double>{};
  if (last_raw_.size() != joints_.size()) read_positions();
  const bool drive_mode = applies_drive_mode(bus_->family);
  const auto max_step = static_cast<int32_t>(std::lround(max_step_degrees * kStepsPerTurn / 360.0));
  std::map<std::string, int32_t> values;
  std::vector<double> sent;
  int32_t distance = 0;
  for (size_t i = 0; i < joints_.size(); ++i) {
    const auto& name = joints_[i].first;
    const MotorCalibration& c = entry(*calibration_, name);
    const NormMode mode = norm_mode(type_, name, settings_.use_degrees);
    double goal = goals[i];
    if (relative) {
      const double cap = relative->for_motor(name);
      goal = present[i] + std::clamp(goal - present[i], -cap, cap);
    }
    int32_t raw = unnormalize(mode, c, goal, drive_mode);
    raw = std::clamp(raw, std::min(c.range_min, c.range_max), std::max(c.range_min, c.range_max));
    distance = std::max(distance, std::abs(raw - last_raw_[i]));
    if (!relative && max_step > 0 && (step_full_turn || !full_turn_joint(type_, name))) {
      raw = std::clamp(raw, last_raw_[i] - max_step, last_raw_[i] + max_step);
    }
    values[name] = raw;
    sent.push_back(normalize(mode, c, raw, drive_mode));
  }
  if (farthest) *farthest = distance * 360.0 / kStepsPerTurn;
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

Robot::Robot(RobotConfig c)
    : config(std::move(c)),
      name(config.type),
      arm_(config.type, config.port, config.id, true, config.on_calibration_problem,
           {config.use_degrees, 50.0, !config.disable_torque_on_disconnect, config.calibration_dir}) {
  if (config.max_relative_target && !config.max_relative_target->all) {
    for (const auto& joint : arm_.joint_names()) config.max_relative_target->for_motor(joint);  // names every motor
    for (const auto& [motor, bound] : config.max_relative_target->per_motor) {
      const auto names = arm_.joint_names();
      if (std::find(names.begin(), names.end(), motor) == names.end()) {
        throw std::invalid_argument("max_relative_target names " + motor + ", which is no motor of " + config.type);
      }
    }
  }
  for (const auto& [camera_name, camera_config] : config.cameras) {
    cameras[camera_name] = std::make_unique<Camera>(camera_config);
  }
}

Robot::~Robot() { disconnect(); }

void Robot::connect() {
  arm_.connect();
  try {
    for (auto& [n, camera] : cameras) camera->connect();
    // As the framework's warm-up read: connected means every camera has a frame to give.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (auto& [n, camera] : cameras) {
      while (camera->frames_read() == 0) {
        if (std::chrono::steady_clock::now() > limit) {
          throw CameraError("camera " + camera->config.index_or_path + " delivered no frame within 5 s of connecting");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
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
  const auto names = arm_.joint_names();
  const auto positions = arm_.read_positions();
  for (size_t i = 0; i < names.size(); ++i) obs.set(names[i] + ".pos", positions[i]);
  for (auto& [camera_name, camera] : cameras) {
    try {
      obs.set(camera_name, camera->read_latest(config.camera_silence_limit));
    } catch (const CameraError& e) {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", static_cast<double>(config.camera_silence_limit.count()) / 1000.0);
      throw CameraError(camera_name + ": " + e.what() + " (a camera silent for " + limit + " s ends the run)");
    }
  }
  return obs;
}

std::vector<double> Robot::goals_of(const Action& action) {
  std::vector<double> goals;
  for (const auto& n : arm_.joint_names()) goals.push_back(action.at(n + ".pos").as_double());
  return goals;
}

Action Robot::send_action(const Action& action) {
  const auto names = arm_.joint_names();
  const auto sent = arm_.write_goals(goals_of(action), config.max_step_degrees, config.max_relative_target);
  Action out;
  for (size_t i = 0; i < names.size(); ++i) out.set(names[i] + ".pos", sent[i]);
  return out;
}

double Robot::step_toward(const Action& action, double max_step_degrees) {
  double farthest = 0;
  arm_.write_goals(goals_of(action), max_step_degrees, std::nullopt, &farthest, false);
  return farthest;
}

Teleoperator::Teleoperator(TeleoperatorConfig c)
    : config(std::move(c)),
      arm_(config.type, config.port, config.id, false, config.on_calibration_problem,
           {config.use_degrees, config.gripper_open_pos, false, config.calibration_dir}) {}

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
