#pragma once
// Telling the leader arm (moved by hand) from the follower by motion.
#include <iostream>
#include <map>
#include <string>
#include <utility>

#include "cli/ports.hpp"

namespace tessaline::ports {

// Present-position register per motor family: (address, size in bytes).
extern const std::map<std::string, std::pair<int, int>> _PRESENT_POSITION_ADDR;

// Detect which port is the leader by asking the user to move it. The ports
// must carry scan results. Returns (leader, follower).
std::pair<PortInfo, PortInfo> detect_leader_by_motion(const PortInfo& port_a, const PortInfo& port_b,
                                                      double duration = 10.0, int threshold = 30,
                                                      std::istream& answers = std::cin);

// The decision on the summed excursions: 0 → port A leads, 1 → port B,
// -1 → no clear evidence (strictly greater than the threshold and the other).
int _leader_from_motion(long total_a, long total_b, int threshold);

// Fallback: let user manually pick which port is the leader.
std::pair<PortInfo, PortInfo> _manual_role_picker(const PortInfo& port_a, const PortInfo& port_b,
                                                  std::istream& answers = std::cin);

}  // namespace tessaline::ports
