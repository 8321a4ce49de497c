#pragma once
// The heavy parts live in modules of their own, loaded only by the
// sub-commands that need them, so the others start in milliseconds: the
// capture runtime (cameras, robots, sessions: OpenCV, GStreamer, gRPC) in
// libtessaline_runtime.so, the dataset tools (Parquet, video) in
// libtessaline_datasets.so.
#include <string>

namespace tessaline::cli {

// Runs "capture", "serve", "teleoperate", "calibrate" or "list-cameras" in
// the runtime with the sub-command's options (JSON); its exit status.
// Throws std::runtime_error when the module cannot be found or loaded.
int run_in_runtime(const std::string& command, bool debug, const std::string& options_json = "{}");

// Runs a `dataset` tool ("info", "check") with its options (JSON); its exit status.
int run_dataset_tool(const std::string& command, const std::string& options_json);

}  // namespace tessaline::cli
