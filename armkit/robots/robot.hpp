#pragma once
// Arms chosen by type name: SO-100 / SO-101 (Feetech STS3215) and Koch v1.1
// (Dynamixel) followers and leaders, calibrated and configured as the robot
// framework does it, so arms it set up work here and the values recorded
// are in its units. A follower's goals are clamped to its range and to a
// bounded step per tick; torque is on while a follower is connected and
// released on disconnect and on every error.
#include <filesystem>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "armkit/bus/motors_bus.hpp"
#include "armkit/cameras/camera.hpp"
#include "armkit/robots/calibration.hpp"
#include "kit/values/values.hpp"

namespace armkit {

using Observation = kit::Record;  // "<joint>.pos" → the framework's units; camera name → RGB image
using Action = kit::Record;       // "<joint>.pos" → the same units

class ServoArm;

// The servos do not hold the calibration this arm is to run on (or there is
// none). A handler may write the file into the servos or calibrate the arm
// and set it (`ServoArm::use_calibration`); when it returns, the servos and
// the calibration must agree, or connecting fails. Without a handler
// connecting fails at once: a follower is never driven on a guessed one.
struct CalibrationProblem {
  std::string type;  // e.g. "so101_follower"
  std::optional<std::string> id;
  std::string port;
  std::filesystem::path file;  // where the file is, or would be written
  bool file_found = false;
  std::string detail;  // how the servos and the file differ
};
using CalibrationHandler = std::function<void(ServoArm&, const CalibrationProblem&)>;

struct CalibrationError : std::runtime_error {
  CalibrationError(CalibrationProblem problem_, const std::string& text)
      : std::runtime_error(text), problem(std::move(problem_)) {}
  CalibrationProblem problem;
};
// "so101_follower 'left' on /dev/ttyACM0 has no calibration (…)" and the like.
std::string describe(const CalibrationProblem& problem);

// The framework's max_relative_target: how far one command may move a joint
// from where it is, in the joint's own units (degrees, or −100..100 /
// 0..100) — one bound for every joint, or one per motor, naming every motor.
struct MaxRelativeTarget {
  std::optional<double> all;
  std::map<std::string, double> per_motor;
  double for_motor(const std::string& motor) const;
};

struct RobotConfig {
  std::string type;  // "so100_follower", "so101_follower", "koch_follower"
  std::string port;
  std::map<std::string, OpenCVCameraConfig> cameras;
  std::optional<std::string> id;  // names the calibration file ("None" when absent, as the framework has it)
  std::optional<std::filesystem::path> calibration_dir;  // where <id>.json is; unset: the framework's folders
  // The framework's options, with its meanings. Unset, use_degrees is its
  // default (SO: true; Koch: false). With max_relative_target set, every goal
  // is clamped as the framework clamps it, from a fresh reading; unset (the
  // framework then sends goals as they come), our own bound applies instead:
  // max_step_degrees of horn travel from the position last read (<= 0: none).
  std::optional<bool> use_degrees;
  std::optional<MaxRelativeTarget> max_relative_target;
  double max_step_degrees = 15.0;
  bool disable_torque_on_disconnect = true;
  // A camera silent this long ends the loop; shorter gaps repeat its last
  // image. Above what a loaded 2-core machine starves a camera for.
  std::chrono::milliseconds camera_silence_limit{10000};
  CalibrationHandler on_calibration_problem;
  using Class = std::function<RobotConfig(std::string port, std::map<std::string, OpenCVCameraConfig> cameras)>;
  // Throws std::invalid_argument for an unknown type.
  static Class get_choice_class(const std::string& type);
};

struct TeleoperatorConfig {
  std::string type;  // "so100_leader", "so101_leader", "koch_leader"
  std::string port;
  std::optional<std::string> id{};
  std::optional<std::filesystem::path> calibration_dir{};  // where <id>.json is; unset: the framework's folders
  std::optional<bool> use_degrees{};  // SO leaders; the Koch leader always reads −100..100
  double gripper_open_pos = 50.0;   // Koch leader: where its trigger springs back to (0..100)
  CalibrationHandler on_calibration_problem{};
  using Class = std::function<TeleoperatorConfig(std::string port)>;
  static Class get_choice_class(const std::string& type);
};

// What an arm takes of the framework's options.
struct ArmSettings {
  std::optional<bool> use_degrees;
  double gripper_open_pos = 50.0;
  bool keep_torque_on_disconnect = false;  // a follower with disable_torque_on_disconnect false
  // The folder of the arm's calibration file (<id>.json) when the caller
  // names one, as the framework's calibration_dir; else found as it finds it.
  std::optional<std::filesystem::path> calibration_dir{};
};

// The motors of one arm on its bus. Connecting does what the framework's
// connect does, in order: the handshake, the calibration check, the arm's
// configuration with torque off, then torque as the arm needs it.
class ServoArm {
 public:
  ServoArm(const std::string& type, std::string port, std::optional<std::string> id, bool follower,
           CalibrationHandler on_problem = {}, ArmSettings settings = {});
  ~ServoArm();  // releases torque (as set) and closes the port if still connected

  // Without `check_calibration` only the handshake runs and nothing is
  // written: the arm is about to be calibrated.
  void connect(bool check_calibration = true);
  // The framework's configure() (arm_setup's configure_arm); connect runs it.
  void configure();
  void disconnect();
  // Closes the port and leaves every register as it is (after a RegisterSnapshot's restore).
  void close_as_is() { bus_->port_handler.closePort(); }
  bool is_connected() const { return bus_->is_connected(); }
  const std::string& type() const { return type_; }
  const std::optional<std::string>& id() const { return id_; }
  std::vector<std::string> joint_names() const;
  MotorsBus& bus() { return *bus_; }
  // The calibration in use: loaded from its file at connect, or set.
  const std::optional<Calibration>& calibration() const { return calibration_; }
  void use_calibration(Calibration calibration) { calibration_ = std::move(calibration); }
  // The file this arm's calibration is read from, or would be written to.
  std::filesystem::path calibration_file() const;
  // Where a new calibration of this arm is saved: the calibration folder
  // given, else the framework's current one.
  std::filesystem::path calibration_save_path() const;

  // One joint's value in the framework's units from a position as the servo
  // reports it, and back to a goal (clamped to the calibrated range). Both
  // need the calibration (std::logic_error without one).
  double to_value(const std::string& joint, int32_t raw) const;
  int32_t to_raw(const std::string& joint, double value) const;
  // Normalised present positions, in joint order.
  std::vector<double> read_positions();
  // Present positions as the servos report them, in joint order.
  std::vector<int32_t> read_raw_positions();
  // Clamps to the calibrated range and either as the framework's
  // max_relative_target does (when given) or to `max_step_degrees` of horn
  // travel from the position last read (<= 0: not at all); returns what was
  // sent, normalised. `farthest`, when given, is set to how far the
  // farthest joint's goal was from its last reading (degrees of horn travel).
  // Without `step_full_turn`, joints that turn fully get their goal whole.
  std::vector<double> write_goals(const std::vector<double>& goals, double max_step_degrees,
                                  const std::optional<MaxRelativeTarget>& relative = std::nullopt,
                                  double* farthest = nullptr, bool step_full_turn = true);
  void set_torque(bool on);

 private:
  void ensure_calibrated();

  std::string type_;
  std::optional<std::string> id_;
  bool follower_;
  CalibrationHandler on_problem_;
  ArmSettings settings_;
  std::unique_ptr<MotorsBus> bus_;
  std::vector<std::pair<std::string, Motor>> joints_;
  std::optional<Calibration> calibration_;
  std::vector<int32_t> last_raw_;
};

class Robot {
 public:
  explicit Robot(RobotConfig config);
  virtual ~Robot();
  const RobotConfig config;
  std::string name;
  std::map<std::string, std::unique_ptr<Camera>> cameras;

  // The arm (as ServoArm::connect), then the cameras, each until its first
  // frame (5 s at most); on failure everything is released again.
  void connect();
  void disconnect();
  bool is_connected() const;
  // A read the bus could not make fails; torque stays as it was (the
  // follower holds its last goal), so a caller may skip the tick.
  Observation get_observation();
  Action send_action(const Action& action);
  // One bounded step toward `action`: at most `max_step_degrees` of horn
  // travel per joint from the position last read; a joint that turns fully
  // is sent its goal whole (stepped goals on either side of its servo's wrap
  // point would have it run the long way round and back, never arriving).
  // Returns how far the farthest joint was from its goal, in degrees of horn travel.
  double step_toward(const Action& action, double max_step_degrees);
  ServoArm& arm() { return arm_; }

 private:
  std::vector<double> goals_of(const Action& action);
  ServoArm arm_;
};

class Teleoperator {
 public:
  explicit Teleoperator(TeleoperatorConfig config);
  const TeleoperatorConfig config;
  void connect();  // torque stays off (a Koch leader's gripper excepted): the operator moves it by hand
  void disconnect();
  bool is_connected() const;
  Action get_action();
  ServoArm& arm() { return arm_; }

 private:
  ServoArm arm_;
};

std::unique_ptr<Robot> make_robot_from_config(const RobotConfig& config);
std::unique_ptr<Teleoperator> make_teleoperator_from_config(const TeleoperatorConfig& config);

}  // namespace armkit
