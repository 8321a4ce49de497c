// Fuzz target: control-channel messages as a browser (or anyone on the
// channel) may send them.
#include <cstdint>
#include <string>

#include "tessaline/src/signaling_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto m = tessaline::signaling_text::parse_control_message(std::string(reinterpret_cast<const char*>(data), size));
  for (const auto* v : {&m.repo_id, &m.selected, &m.dataset_name}) {
    if (*v) (void)kit::json::py_str(**v);
  }
  return 0;
}
