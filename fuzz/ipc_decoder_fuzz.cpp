// Fuzz target: the IPC decoding the Flight server applies to what clients
// send. Input is read both as a whole IPC stream and as one Flight message
// (4-byte metadata length, metadata, body) against a fixed schema.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "kit/flight/ipc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fl = kit::flight;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    const auto stream = fl::ipc::ReadStream(input);
    for (const auto& b : stream.batches) (void)fl::ipc::SerializeRecordBatch(*b);
  } catch (const fl::ArrowError&) {
  }
  if (size < 4) return 0;
  uint32_t meta_len;
  std::memcpy(&meta_len, data, 4);
  meta_len %= static_cast<uint32_t>(size - 3);
  const std::string_view metadata = input.substr(4, meta_len);
  const std::string_view body = input.substr(4 + meta_len);
  static const auto schema = std::make_shared<const fl::Schema>(std::vector<fl::Field>{
      {"timestamp", fl::float64()}, {"episode_end", fl::boolean()}, {"user_id", fl::utf8()},
      {"img", fl::binary()}, {"state", fl::list(fl::float64())}});
  try {
    if (fl::ipc::ReadMessageType(metadata) == fl::ipc::MessageType::SCHEMA) {
      (void)fl::ipc::ReadSchema(metadata);
    } else {
      (void)fl::ipc::ReadRecordBatch(metadata, body, schema);
    }
  } catch (const fl::ArrowError&) {
  }
  return 0;
}
