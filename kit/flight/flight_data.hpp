#pragma once
// FlightData messages encoded straight into gRPC byte buffers: the small
// fields here, a record batch's body as slices of the arrays that hold it,
// so a camera frame is not copied on its way to the socket (the buffer
// keeps the arrays alive until gRPC is done with it).
#include <grpcpp/support/byte_buffer.h>

#include "kit/flight/flight.hpp"

namespace kit::flight::wire {

// The first message of a put: the descriptor and the schema.
grpc::ByteBuffer SchemaMessage(const FlightDescriptor& descriptor, const Schema& schema);
// One record batch.
grpc::ByteBuffer BatchMessage(const RecordBatch& batch);

}  // namespace kit::flight::wire
