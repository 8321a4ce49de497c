// Fuzz target: the simulated servos' firmware, fed what any program may
// write to the rig's ports. The first byte picks the family and how the
// rest is split into reads of the line; every packet goes through the
// firmware's parsing and its rules for each instruction.
#include <cstdint>
#include <span>

#include "armkit/sim/servo_firmware.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool dxl = data[0] & 1;
  const size_t chunk = 1 + (data[0] >> 1);  // the line delivers this many bytes at a time
  std::vector<armkit::SimulatedServo> servos;
  for (uint8_t id = 1; id <= 3; ++id) servos.push_back({id, dxl ? "xl330-m288" : "sts3215"});
  armkit::ServoFirmware firmware(dxl ? armkit::ServoFamily::dynamixel : armkit::ServoFamily::feetech, 1'000'000, servos);
  const std::span<const uint8_t> rest(data + 1, size - 1);
  for (size_t at = 0; at < rest.size(); at += chunk) {
    for (const auto& answer : firmware.receive(rest.subspan(at, std::min(chunk, rest.size() - at)), 1'000'000)) {
      if (answer.bytes.size() < 6) __builtin_trap();  // every status packet has a header, id, length and check
    }
  }
  return 0;
}
