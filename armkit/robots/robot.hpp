#pragma once
// Arms chosen by type name: SO-100 / SO-101 (Feetech STS3215) and Koch v1.1
// (Dynamixel) followers and leaders. Joint values are normalised so that a
// leader and a follower of the same kind agree: degrees from the middle of
// each joint's range, and 0..100 for the gripper. A follower's goals are
// clamped to its range and to a bounded step per tick; torque is on while a
// follower is connected and released on disconnect and on every error.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/cameras/camera.hpp"
#include "kit/values/values.hpp"

namespace armkit {

using Observation = kit::Record;  // "<joint>.pos" → degrees (gripper 0..100); camera name → RGB image
using Action = kit::Record;       // "<joint>.pos" → the same units

struct JointCalibration {
  int drive_mode = 0;  // 1: the joint turns the other way
  int homing_offset = 0;
  int range_min = 0;
  int range_max = 4095;
};

struct RobotConfig {
  std::string type;  // "so100_follower", "so101_follower", "koch_follower"
  std::string port;
  std::map<std::string, OpenCVCameraConfig> cameras;
  std::optional<std::string> id;  // names the calibration file
  double max_step_degrees = 15.0;  // largest goal change per send_action
  using Class = std::function<RobotConfig(std::string port, std::map<std::string, OpenCVCameraConfig> cameras)>;
  // Throws std::invalid_argument for an unknown type.
  static Class get_choice_class(const std::string& type);
};

struct TeleoperatorConfig {
  std::string type;  // "so100_leader", "so101_leader", "koch_leader"
  std::string port;
  std::optional<std::string> id;
  using Class = std::function<TeleoperatorConfig(std::string port)>;
  static Class get_choice_class(const std::string& type);
};

// The motors of one arm on its bus, with calibration.
class ServoArm {
 public:
  ServoArm(const std::string& type, std::string port, std::optional<std::string> id, bool follower);
  ~ServoArm();  // releases torque and closes the port if still connected

  void connect();
  void disconnect();
  bool is_connected() const { return bus_->is_connected(); }
  std::vector<std::string> joint_names() const;
  // Normalised present positions, in joint order.
  std::vector<double> read_positions();
  // Clamps to the range and to `max_step` degrees from the present
  // position; returns what was sent.
  std::vector<double> write_goals(const std::vector<double>& goals, double max_step_degrees);
  void set_torque(bool on);

 private:
  double to_normalised(size_t joint, int32_t raw) const;
  int32_t to_raw(size_t joint, double value) const;

  std::string type_;
  bool follower_;
  std::unique_ptr<MotorsBus> bus_;
  std::vector<std::pair<std::string, Motor>> joints_;
  std::vector<JointCalibration> calibration_;
  std::vector<int32_t> last_raw_;
};

class Robot {
 public:
  explicit Robot(RobotConfig config);
  virtual ~Robot();
  const RobotConfig config;
  std::string name;
  std::map<std::string, std::unique_ptr<Camera>> cameras;

  void connect();  // bus, torque on, cameras; on failure everything is released again
  void disconnect();
  bool is_connected() const;
  Observation get_observation();
  Action send_action(const Action& action);

 private:
  ServoArm arm_;
};

class Teleoperator {
 public:
  explicit Teleoperator(TeleoperatorConfig config);
  const TeleoperatorConfig config;
  void connect();  // torque stays off: the operator moves it by hand
  void disconnect();
  bool is_connected() const;
  Action get_action();

 private:
  ServoArm arm_;
};

std::unique_ptr<Robot> make_robot_from_config(const RobotConfig& config);
std::unique_ptr<Teleoperator> make_teleoperator_from_config(const TeleoperatorConfig& config);

// Where calibration files live: $HF_LEROBOT_HOME/calibration (or the default home).
std::string calibration_directory();

}  // namespace armkit
