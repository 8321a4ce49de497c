#pragma once
// The capture runtime (cameras, robots, sessions: OpenCV, GStreamer, gRPC)
// lives in a module of its own, libtessaline_runtime.so, loaded only by the
// sub-commands that need it, so the others start in milliseconds.
#include <string>

namespace tessaline::cli {

// Runs "capture", "serve", "teleoperate", "calibrate" or "list-cameras" in
// the runtime with the sub-command's options (JSON); its exit status.
// Throws std::runtime_error when the module cannot be found or loaded.
int run_in_runtime(const std::string& command, bool debug, const std::string& options_json = "{}");

}  // namespace tessaline::cli
