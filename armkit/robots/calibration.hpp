#pragma once
// Arm calibration files in the robot framework's own format and places, so
// an arm calibrated elsewhere works here and the other way round: one JSON
// object per arm, keyed by motor name, each holding id, drive_mode,
// homing_offset, range_min and range_max (integers), indented by 4.
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace armkit {

struct MotorCalibration {
  int id = 0;
  int drive_mode = 0;
  int homing_offset = 0;
  int range_min = 0;
  int range_max = 4095;
  bool operator==(const MotorCalibration&) const = default;
};

// Motor name → calibration, in the arm's joint order.
using Calibration = std::vector<std::pair<std::string, MotorCalibration>>;

// The motor's entry, or nothing.
const MotorCalibration* find_motor(const Calibration& calibration, const std::string& motor);

// Joints that turn all the way round are not swept when calibrating: they
// keep the whole turn, 0..4095 (wrist_roll; on Koch arms shoulder_pan too).
bool full_turn_joint(const std::string& type, const std::string& joint);

// Where the framework keeps its files, found as it finds them: HF_HOME is
// $HF_HOME, else $XDG_CACHE_HOME/huggingface, else ~/.cache/huggingface,
// with "~" and then $VAR expanded; the calibration root is
// $HF_LEROBOT_CALIBRATION, else $HF_LEROBOT_HOME/calibration, else
// HF_HOME/lerobot/calibration, those two with "~" expanded.
std::filesystem::path hf_home();
std::filesystem::path calibration_root();
// "~" and "~user" at the start, as Python's expanduser; $NAME and ${NAME}
// of set variables, as its expandvars (others are left as written).
std::string expand_user(const std::string& path);
std::string expand_vars(const std::string& path);

// The folder name an arm type's files live under today: SO-100 and SO-101
// share "so_follower" / "so_leader"; Koch keeps its own type name.
std::string calibration_class(const std::string& type);
// robots/<class>/<id>.json for followers, teleoperators/<class>/<id>.json for leaders.
std::filesystem::path calibration_path(const std::string& type, const std::string& id);

// Where the framework would find an arm's file: today's folder first, then
// the per-model folders older versions wrote (so101_follower/…); nothing
// when neither holds one.
std::optional<std::filesystem::path> find_calibration(const std::string& type, const std::string& id);

// Writes atomically, creating folders.
void save_calibration(const std::filesystem::path& path, const Calibration& calibration);
// Throws std::runtime_error naming the file when it is not a calibration.
Calibration load_calibration(const std::filesystem::path& path);

}  // namespace armkit
