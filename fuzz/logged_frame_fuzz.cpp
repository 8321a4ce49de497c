// Fuzz target: what the studio stages and exports — an Arrow IPC stream of
// logged frames from anyone who can reach the Flight port — through the
// checks the door and the exporter apply before using a frame.
#include <cstdint>
#include <string_view>

#include "kit/flight/ipc.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "studio/live/logged_frame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fl = kit::flight;
  try {
    const auto stream = fl::ipc::ReadStream(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& batch : stream.batches) {
      try {
        const auto frame = studio::read_logged_frame(*batch);
        for (const auto& [key, jpeg] : frame.images) {
          try {
            (void)kit::jpeg::image_size(jpeg);
          } catch (const kit::jpeg::JpegError&) {
          }
        }
      } catch (const studio::FrameSchemaError&) {
      }
    }
  } catch (const fl::ArrowError&) {
  }
  return 0;
}
