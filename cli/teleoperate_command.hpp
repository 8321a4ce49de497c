#pragma once
// `tessaline teleoperate`: the leader drives the follower at a fixed rate,
// without a browser or recording, with a live table of joint values and
// the loop's rate — what users run to check their arms before recording.
#include "cli/arm_configs.hpp"

namespace tessaline::cli {

// Until `duration` seconds passed (if given) or Ctrl+C.
void run_teleoperate(const ArmOptions& options);

}  // namespace tessaline::cli
