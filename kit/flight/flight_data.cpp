#include "kit/flight/flight_data.hpp"

#include <grpcpp/support/slice.h>

#include "kit/flight/ipc.hpp"

namespace kit::flight::wire {
namespace {

// FlightData's fields (Flight.proto) and FlightDescriptor's.
enum : uint32_t { kDescriptor = 1, kDataHeader = 2, kDataBody = 1000 };
enum : uint32_t { kDescriptorType = 1, kDescriptorCmd = 2, kDescriptorPath = 3 };
enum : uint32_t { kVarint = 0, kLengthDelimited = 2 };

// Buffers at least this large travel as borrowed slices; smaller ones are
// cheaper to copy than to reference.
constexpr size_t kBorrowFrom = 8 * 1024;

void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_tag(std::string& out, uint32_t field, uint32_t wire_type) { put_varint(out, (uint64_t{field} << 3) | wire_type); }

void put_bytes(std::string& out, uint32_t field, std::string_view value) {
  put_tag(out, field, kLengthDelimited);
  put_varint(out, value.size());
  out.append(value);
}

struct Keeper {
  std::vector<ArrayPtr> arrays;
};

void release(void* keeper) { delete static_cast<Keeper*>(keeper); }

}  // namespace

grpc::ByteBuffer SchemaMessage(const FlightDescriptor& descriptor, const Schema& schema) {
  std::string d;
  put_tag(d, kDescriptorType, kVarint);
  put_varint(d, static_cast<uint64_t>(descriptor.type));
  if (!descriptor.cmd.empty()) put_bytes(d, kDescriptorCmd, descriptor.cmd);
  for (const auto& p : descriptor.path) put_bytes(d, kDescriptorPath, p);
  std::string out;
  put_bytes(out, kDescriptor, d);
  put_bytes(out, kDataHeader, ipc::SerializeSchema(schema));
  grpc::Slice slice(out);
  return grpc::ByteBuffer(&slice, 1);
}

grpc::ByteBuffer BatchMessage(const RecordBatch& batch) {
  const ipc::RecordBatchParts parts = ipc::SerializeRecordBatchParts(batch);
  std::string pending;
  put_bytes(pending, kDataHeader, parts.metadata);
  put_tag(pending, kDataBody, kLengthDelimited);
  put_varint(pending, static_cast<uint64_t>(parts.body_length));

  std::vector<grpc::Slice> slices;
  std::vector<ArrayPtr> columns;
  for (int i = 0; i < batch.num_columns(); ++i) columns.push_back(batch.column(i));
  for (const auto& piece : parts.body) {
    if (piece.size >= kBorrowFrom) {
      if (!pending.empty()) slices.emplace_back(pending);
      // Each borrowed slice holds the columns; gRPC drops it once sent.
      slices.emplace_back(const_cast<uint8_t*>(piece.data), piece.size, release, new Keeper{columns});
      pending.assign(piece.padding, '\0');
    } else {
      pending.append(reinterpret_cast<const char*>(piece.data), piece.size);
      pending.append(piece.padding, '\0');
    }
  }
  if (!pending.empty()) slices.emplace_back(pending);
  return grpc::ByteBuffer(slices.data(), slices.size());
}

}  // namespace kit::flight::wire
