#pragma once
// Arrow IPC messages: the Schema and RecordBatch metadata (a flatbuffer
// "Message") with their 8-byte aligned bodies, and the stream framing used
// for .arrows files. Decoding checks everything it reads — it takes input
// from the network — and throws ArrowError with a clear text.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kit/flight/array.hpp"

namespace kit::flight::ipc {

enum class MessageType { SCHEMA, RECORD_BATCH };

// The bare Message flatbuffer of a schema (what Flight carries as data_header).
std::string SerializeSchema(const Schema& schema);

struct SerializedBatch {
  std::string metadata;  // bare Message flatbuffer
  std::string body;      // buffers, each 8-byte aligned; size = bodyLength
};
SerializedBatch SerializeRecordBatch(const RecordBatch& batch);

// The same message with its body left where the arrays hold it: pieces in
// order, each followed by `padding` zero bytes. Valid while the arrays live.
struct BodyPiece {
  const uint8_t* data;
  size_t size;
  size_t padding;
};
struct RecordBatchParts {
  std::string metadata;
  std::vector<BodyPiece> body;
  int64_t body_length;
};
RecordBatchParts SerializeRecordBatchParts(const RecordBatch& batch);

// Verifies the flatbuffer and says which message it holds; throws for any
// message type outside our subset.
MessageType ReadMessageType(std::string_view metadata);
std::shared_ptr<const Schema> ReadSchema(std::string_view metadata);
std::shared_ptr<RecordBatch> ReadRecordBatch(std::string_view metadata, std::string_view body,
                                             const std::shared_ptr<const Schema>& schema);

// The size of the body that follows a message (checked flatbuffer).
int64_t ReadBodyLength(std::string_view metadata);

// One message framed as in a stream (continuation marker, padded length,
// metadata, body), so a stream can be written a message at a time.
std::string FramedSchema(const Schema& schema);
std::string FramedBatch(const RecordBatch& batch);

// An IPC stream: schema, batches, end-of-stream marker.
std::string WriteStream(const std::shared_ptr<const Schema>& schema,
                        const std::vector<std::shared_ptr<RecordBatch>>& batches);

struct StreamContents {
  std::shared_ptr<const Schema> schema;
  std::vector<std::shared_ptr<RecordBatch>> batches;
};
// Reads continuation-marked and legacy framing; the EOS marker is optional.
StreamContents ReadStream(std::string_view bytes);

}  // namespace kit::flight::ipc
