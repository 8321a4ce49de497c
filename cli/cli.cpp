#include "cli/cli.hpp"

#include <CLI/CLI.hpp>
#include <cmath>
#include <filesystem>

#include "armkit/robots/arm_kinds.hpp"
#include "cli/arm_options.hpp"
#include "cli/invocation.hpp"
#include "kit/cli/command_line.hpp"
#include "cli/command_errors.hpp"
#include "cli/console.hpp"
#include "cli/port_commands.hpp"
#include "cli/ports.hpp"
#include "cli/runtime_loader.hpp"
#include "cli/saved_config.hpp"
#include "kit/log/logger.hpp"
#include "tessaline/build_info.hpp"

namespace tessaline::cli {

void setup_logging(bool debug) {
  using kit::log::Level;
  const Level level = debug ? Level::DEBUG : Level::INFO;
  kit::log::basic_config(level, debug ? "%(levelname)s [%(name)s]: %(message)s" : "%(levelname)s: %(message)s");
  if (!debug) kit::log::get_logger("lerobot").set_level(Level::WARNING);
}

void main_callback(bool debug) {
  setup_logging(debug);
  check_for_updates();
}

namespace {

// List available serial ports and scan for connected motors.
void list_ports() { ports::find_robot_ports(std::nullopt, true); }

// Reset saved configuration (setup.json).
void reset(bool cameras, bool ports_too) {
  const auto path = ports::get_setup_config_path();
  if (!std::filesystem::exists(path)) {
    console.print("[yellow]No saved configuration found.[/yellow]");
    return;
  }
  const bool reset_all = !cameras && !ports_too;
  if (reset_all || ports_too) {
    std::filesystem::remove(path);
    console.print("[green]Configuration reset.[/green] Hardware will be re-detected on next capture.");
    return;
  }
  auto setup = ports::load_capture_setup();
  if (!setup) {
    console.print("[yellow]No saved configuration found.[/yellow]");
    return;
  }
  setup->cameras.reset();
  setup->selected_cameras.clear();
  ports::save_capture_setup(*setup);
  console.print("[green]Camera configuration reset.[/green] Cameras will be re-detected on next capture.");
}

// An arm type option checked as the runtime checks it, so that a wrong one
// is a usage error before anything is loaded.
CLI::Validator arm_type(const std::string& role, const std::string& suffix, const std::string& known) {
  return CLI::Validator(
      [=](const std::string& text) {
        try {
          if (text.size() > suffix.size() && text.ends_with(suffix)) {
            armkit::arm_kind(text);
            return std::string();
          }
        } catch (const std::invalid_argument&) {
        }
        return "'" + text + "' is not a " + role + " type (" + known + ")";
      },
      "TYPE");
}

// A number of seconds above zero, said plainly.
std::string positive_seconds(const std::string& text) {
  double value = 0;
  try {
    size_t used = 0;
    value = std::stod(text, &used);
    if (used != text.size()) throw std::invalid_argument(text);
  } catch (const std::exception&) {
    return "'" + text + "' is not a number of seconds";
  }
  if (!(value > 0) || !std::isfinite(value)) return "must be more than 0 seconds, not " + text;
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  remember_invocation(argc > 0 ? argv[0] : nullptr);
  CLI::App app{"Tessaline CLI - Robot teleoperation and data collection", "tessaline"};
  app.set_version_flag("--version", std::string("tessaline ") + build_info::VERSION, "Show the version and exit");
  bool debug = false;
  app.add_flag("--debug", debug, "Enable debug logging")->group("");
  ArmOptions arms;
  // Optional on capture and serve: the ids name the arms' calibrations, and
  // a port `configure` saved for the robot id is the follower's.
  // The robot framework's options of the arms, with its names, units and meanings.
  auto add_arm_options = [&arms](CLI::App* cmd) {
    cmd->add_option("--robot.max_relative_target", arms.robot.max_relative_target,
                    "How far one command may move a follower joint from where it is, in the joint's units (degrees, "
                    "or -100..100 / 0..100): a number, per motor as {\"shoulder_pan\": 10, ...}, or none. Default: "
                    "at most 15 degrees of horn travel per command (the robot framework's default is none)")
        ->check([](const std::string& text) {
          try {
            parse_max_relative_target(text);
            return std::string();
          } catch (const std::invalid_argument& e) {
            return std::string(e.what());
          }
        })
        ->group("Arm options");
    cmd->add_option("--robot.use_degrees", arms.robot.use_degrees,
                    "Follower joints in degrees (true) or -100..100 (false); default: true on SO arms, false on Koch")
        ->group("Arm options");
    cmd->add_option("--robot.disable_torque_on_disconnect", arms.robot.disable_torque_on_disconnect,
                    "Release the follower's torque when done (default true)")
        ->group("Arm options");
    cmd->add_option("--teleop.use_degrees", arms.teleop.use_degrees, "SO leader joints in degrees (default true)")
        ->group("Arm options");
    cmd->add_option("--teleop.gripper_open_pos", arms.teleop.gripper_open_pos,
                    "Koch leader: where the gripper trigger springs back to, 0..100 (default 50)")
        ->check(CLI::Range(0.0, 100.0))
        ->group("Arm options");
    cmd->add_option("--camera-silence-s", arms.camera_silence_s,
                    "A camera that delivers nothing for this long ends the run (default 10); shorter gaps repeat "
                    "its last image, counted per episode")
        ->check(CLI::Range(0.1, 3600.0))
        ->group("Camera options");
  };
  auto add_ids = [&arms, &add_arm_options](CLI::App* cmd) {
    cmd->add_option("--robot.id", arms.robot_id, "Follower id: names its calibration and its port saved by configure");
    cmd->add_option("--teleop.id", arms.teleop_id, "Leader id: names its calibration");
    add_arm_options(cmd);
  };
  auto* capture_cmd = app.add_subcommand("capture", "Capture robot teleoperation data.");
  capture_cmd->footer(
      "Finds the arms and cameras (or uses the saved setup), signs you in through\n"
      "the browser, and records the episodes you ask for on the operator page;\n"
      "the studio exports them as a dataset when the session ends.\n\n"
      "The studio:\n"
      "    VELQUIN_HTTP_SERVER   its HTTP API (signaling, episodes, export)\n"
      "    STUDIO_URL            its web app, where you sign in and operate\n"
      "    VELQUIN_GRPC_SERVER   its Arrow Flight receiver for frames (grpc://host:port)\n"
      "    TESSALINE_STUDIO_TOKEN  its access token, when it is on another computer\n"
      "A studio on this computer: tessaline-studio (HTTP 8080, frames 50051).\n\n"
      "Exit status: 0 after the session (Ctrl+C too), 1 when it ended on an error\n"
      "or its export was refused, 2 when not exactly two arms were found.\n\n"
      "Example:\n    " + command_name() + " capture");
  add_ids(capture_cmd);
  auto* list_ports_cmd = app.add_subcommand("list-ports", "List available serial ports and scan for connected motors.");
  auto* list_cameras_cmd = app.add_subcommand("list-cameras", "List available cameras.");
  auto* configure_cmd = app.add_subcommand("configure", "Configure and save port for a robot ID.");
  configure_cmd->footer(
      "Interactively discovers available ports, scans for motors, and saves\n"
      "the port under the robot ID, so that --robot.id ID finds its arm again.");
  std::string robot_id;
  configure_cmd->add_option("robot_id", robot_id, "Robot ID (e.g., 'my_follower')")->required();
  auto* show_config_cmd = app.add_subcommand("show-config", "Show saved port configurations.");
  auto* reset_cmd = app.add_subcommand("reset", "Reset saved configuration (setup.json).");
  reset_cmd->footer(
      "With no flags, resets everything. Use --cameras or --ports to reset\n"
      "only specific parts.\n\n"
      "Examples:\n"
      "    " + command_name() + " reset            # reset everything\n"
      "    " + command_name() + " reset --cameras  # re-detect cameras on next capture\n"
      "    " + command_name() + " reset --ports    # re-detect robot ports on next capture");
  bool reset_cameras = false, reset_ports = false;
  reset_cmd->add_flag("--cameras", reset_cameras, "Reset camera configuration");
  reset_cmd->add_flag("--ports", reset_ports, "Reset port/robot configuration");
  auto* calibrate_cmd = app.add_subcommand("calibrate", "Calibrate one arm (follower or leader).");
  calibrate_cmd
      ->add_option("--robot.type", arms.robot_type, "Follower type: so100_follower, so101_follower, koch_follower")
      ->check(arm_type("robot", "_follower", "so100_follower, so101_follower, koch_follower"));
  calibrate_cmd->add_option("--robot.id", arms.robot_id, "Follower id (names the calibration file)");
  calibrate_cmd->add_option("--teleop.type", arms.teleop_type, "Leader type: so100_leader, so101_leader, koch_leader")
      ->check(arm_type("teleoperator", "_leader", "so100_leader, so101_leader, koch_leader"));
  calibrate_cmd->add_option("--teleop.id", arms.teleop_id, "Leader id (names the calibration file)");
  calibrate_cmd->add_option("--teleop.gripper_open_pos", arms.teleop.gripper_open_pos,
                            "Koch leader: where the gripper trigger springs back to, 0..100 (default 50)")
      ->check(CLI::Range(0.0, 100.0));
  calibrate_cmd->footer(
      "Moves through the robot framework's calibration: the arm to the middle of\n"
      "its range, then every joint through its range. The calibration goes into\n"
      "the servos and into the framework's calibration folder.\n\n"
      "Examples:\n"
      "    " + command_name() + " calibrate --robot.type so101_follower --robot.id left_arm\n"
      "    " + command_name() + " calibrate --teleop.type so101_leader --teleop.id left_leader");
  calibrate_cmd->parse_complete_callback([&arms] {
    if (arms.robot_type.has_value() == arms.teleop_type.has_value()) {
      throw CLI::ValidationError(
          "name one arm: --robot.type TYPE [--robot.id ID] or --teleop.type TYPE [--teleop.id ID]");
    }
  });
  auto* teleoperate_cmd = app.add_subcommand("teleoperate", "Drive the follower with the leader, without recording.");
  add_ids(teleoperate_cmd);
  teleoperate_cmd->add_option("--fps", arms.fps, "Loop rate in Hz (default 60)")->check(CLI::Range(1, 1000));
  teleoperate_cmd->add_option("--duration", arms.duration, "Stop after this many seconds (default: until Ctrl+C)")
      ->check(CLI::Validator(positive_seconds, "SECONDS"));
  teleoperate_cmd->footer("Shows the leader's and the follower's joint values and the loop rate.");
  auto* serve_cmd = app.add_subcommand("serve", "Start always-on serve mode using hosted Tessaline backend.");
  serve_cmd->footer(
      "Uses VELQUIN_HTTP_SERVER for WebRTC signaling/session APIs and\n"
      "VELQUIN_GRPC_SERVER for Arrow Flight logging.\n\n"
      "Example:\n"
      "    " + command_name() + " serve");
  add_ids(serve_cmd);
  auto* dataset_cmd =
      app.add_subcommand("dataset", "Look into and change a dataset folder (v3.0 layout): info, check, delete, split, merge, rename-task, label.");
  dataset_cmd->require_subcommand(1);
  std::string dataset_dir;
  bool dataset_json = false;
  auto* dataset_info_cmd = dataset_cmd->add_subcommand("info", "Features, episodes, tasks, cameras, files and size.");
  dataset_info_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_info_cmd->add_flag("--json", dataset_json, "print it as one JSON object");
  auto* dataset_check_cmd = dataset_cmd->add_subcommand(
      "check", "Check everything training code relies on; exit 1 naming each fault.");
  dataset_check_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_check_cmd->footer(
      "Checks info.json against the tables, the episodes' index ranges, frame order and\n"
      "timestamps, tasks, each video's codec, size, frame rate and a frame at every\n"
      "timestamp, and the stats against the data.");
  std::string dataset_episodes;
  auto* dataset_delete_cmd = dataset_cmd->add_subcommand("delete", "Delete episodes; the others move up.");
  dataset_delete_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_delete_cmd->add_option("--episodes", dataset_episodes, "episode indices and ranges, e.g. 3,5-7")->required();
  dataset_delete_cmd->footer(
      "Each change is written aside and switched in at once; the other episodes' video is\n"
      "copied, not encoded again. The dataset is checked afterwards.");
  std::string task_from, task_to;
  auto* dataset_rename_cmd = dataset_cmd->add_subcommand("rename-task", "Give a task another text; its episodes keep it.");
  dataset_rename_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_rename_cmd->add_option("--from", task_from, "the task's text now")->required();
  dataset_rename_cmd->add_option("--to", task_to, "its new text")->required();
  long label_episode = -1;
  std::string label_verdict, label_note;
  auto* dataset_label_cmd = dataset_cmd->add_subcommand("label", "Label an episode a success or a failure, with a note.");
  dataset_label_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_label_cmd->add_option("LABEL", label_verdict, "success, failure, or none (clears it)")
      ->required()
      ->check(CLI::IsMember({"success", "failure", "none"}));
  dataset_label_cmd->add_option("--episode", label_episode, "the episode's index")->required()->check(CLI::NonNegativeNumber);
  dataset_label_cmd->add_option("--note", label_note, "a few words on why");
  dataset_label_cmd->footer(
      "Kept in the dataset's meta/tessaline.json, which the field's loaders do not read;\n"
      "shown in the studio's viewer, which also sets them.");
  std::string split_to, split_repo_id;
  auto* dataset_split_cmd = dataset_cmd->add_subcommand("split", "Copy some episodes into a new dataset; DIR stays as it is.");
  dataset_split_cmd->add_option("DIR", dataset_dir, "the dataset folder (the one holding meta/info.json)")->required();
  dataset_split_cmd->add_option("--episodes", dataset_episodes, "the episodes the new dataset gets, e.g. 0-39")->required();
  dataset_split_cmd->add_option("--to", split_to, "the new dataset's folder (must not exist yet)")->required();
  dataset_split_cmd->add_option("--repo-id", split_repo_id, "the new dataset's repository id (default: its folder's name)");
  dataset_split_cmd->footer(
      "E.g. a held-out set: split DIR --episodes 40-49 --to DIR-val, then delete DIR --episodes 40-49.\n"
      "The episodes are numbered from 0 in the new dataset, their labels and tasks go with them,\n"
      "their video is copied, not encoded again; the new dataset is checked before it appears.");
  std::vector<std::string> merge_sources;
  auto* dataset_merge_cmd = dataset_cmd->add_subcommand("merge", "Put several datasets' episodes into a new dataset, one after another.");
  dataset_merge_cmd->add_option("DIR", merge_sources, "the dataset folders, in the order their episodes go")->required();
  dataset_merge_cmd->add_option("--to", split_to, "the new dataset's folder (must not exist yet)")->required();
  dataset_merge_cmd->add_option("--repo-id", split_repo_id, "the new dataset's repository id (default: its folder's name)");
  dataset_merge_cmd->footer(
      "The datasets must have the same features (cameras, their sizes and codec, joints) and frame rate.\n"
      "Episode, frame and task numbers are moved on, tasks of the same text become one, labels and\n"
      "quality records follow their episodes, the statistics are merged and the video is copied, not\n"
      "encoded again. The datasets named stay as they are; the new one is checked before it appears.");
  if (const auto status = kit::cli::parse(app, argc, argv)) return *status;
  main_callback(debug);
  for (auto* tool : {dataset_info_cmd, dataset_check_cmd, dataset_delete_cmd, dataset_split_cmd, dataset_merge_cmd,
                     dataset_rename_cmd, dataset_label_cmd}) {
    if (tool->parsed()) {
      const kit::json::Json options{{"dir", dataset_dir},  {"json", dataset_json}, {"episodes", dataset_episodes},
                                    {"from", task_from},   {"to", task_to},        {"episode", label_episode},
                                    {"label", label_verdict}, {"note", label_note}, {"split_to", split_to},
                                    {"repo_id", split_repo_id}, {"sources", merge_sources}};
      return run_reporting_errors([&] { throw CommandExit{run_dataset_tool(tool->get_name(), kit::json::to_wire(options))}; });
    }
  }
  // Cameras, robots and sessions come with the runtime module, loaded only
  // here; its exit status passes through, a failure to load it is an error.
  for (auto* heavy : {capture_cmd, serve_cmd, list_cameras_cmd, teleoperate_cmd, calibrate_cmd}) {
    if (heavy->parsed()) {
      return run_reporting_errors(
          [&] { throw CommandExit{run_in_runtime(heavy->get_name(), debug, kit::json::to_wire(to_json(arms)))}; });
    }
  }
  if (list_ports_cmd->parsed()) return run_reporting_errors(list_ports);
  if (reset_cmd->parsed()) return run_reporting_errors([&] { reset(reset_cameras, reset_ports); });
  if (configure_cmd->parsed()) return run_reporting_errors([&] { ports::interactive_port_selection(robot_id); });
  if (show_config_cmd->parsed()) return run_reporting_errors(ports::show_saved_configs);
  std::fputs(app.help().c_str(), stdout);  // no sub-command: say what there is
  return 0;
}

}  // namespace tessaline::cli
