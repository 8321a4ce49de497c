#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/impl/rpc_method.h>
#include <grpcpp/support/sync_stream.h>

#include "flight.pb.h"
#include "kit/flight/flight.hpp"
#include "kit/flight/flight_data.hpp"

namespace kit::flight {
namespace proto = arrow::flight::protocol;

namespace {

std::string status_text(const grpc::Status& s) {
  static const char* const kNames[] = {"ok", "cancelled", "unknown", "invalid argument", "deadline exceeded",
                                       "not found", "already exists", "permission denied", "resource exhausted",
                                       "failed precondition", "aborted", "out of range", "unimplemented",
                                       "internal", "unavailable", "data loss", "unauthenticated"};
  const int code = s.error_code();
  const char* name = code >= 0 && code <= 16 ? kNames[code] : "unknown";
  return std::string("Flight returned ") + name + " error, with message: " + s.error_message();
}

// DoPut with messages we encode ourselves (kit/flight/flight_data): the
// generated stub would copy every body into a protobuf message first.
constexpr const char* kDoPutMethod = "/arrow.flight.protocol.FlightService/DoPut";
using PutStream = grpc::ClientReaderWriter<grpc::ByteBuffer, proto::PutResult>;

// The writer and the reader share one call; the writer closes it.
struct PutCall {
  grpc::ClientContext context;
  std::unique_ptr<PutStream> stream;
  bool finished = false;
  std::vector<std::string> acks;  // PutResults drained while closing

  bool writes_done = false;

  void finish() {
    if (finished) return;
    finished = true;
    if (!writes_done) stream->WritesDone();
    proto::PutResult result;
    while (stream->Read(&result)) acks.push_back(result.app_metadata());
    const grpc::Status status = stream->Finish();
    if (!status.ok()) throw FlightError(status.error_code(), status_text(status));
  }
};

// Each message is held back until the next one (or Close) so that the last
// one can travel with the half-close: one frame per put is the common case,
// and this saves a separate end-of-stream round on the wire.
class GrpcStreamWriter : public FlightStreamWriter {
 public:
  GrpcStreamWriter(std::shared_ptr<PutCall> call, grpc::ByteBuffer first)
      : call_(std::move(call)), held_(std::move(first)) {}
  ~GrpcStreamWriter() override {
    if (!call_->finished) {
      call_->context.TryCancel();
      try {
        call_->finish();
      } catch (const FlightError&) {
        // Abandoned put: the cancellation is the expected outcome.
      }
    }
  }

  void WriteRecordBatch(const RecordBatch& batch) override {
    grpc::ByteBuffer data = wire::BatchMessage(batch);
    send_held(grpc::WriteOptions().set_buffer_hint());
    held_ = std::move(data);
  }

  void Close() override {
    if (!call_->finished) {
      send_held(grpc::WriteOptions().set_last_message());
      call_->writes_done = true;
    }
    call_->finish();
  }

 private:
  void send_held(grpc::WriteOptions options) {
    // A failed write means the stream broke; the reason comes with Finish.
    if (!call_->finished && !call_->stream->Write(held_, options)) {
      call_->writes_done = true;
      call_->finish();
    }
  }

  std::shared_ptr<PutCall> call_;
  grpc::ByteBuffer held_;
};

class GrpcMetadataReader : public FlightMetadataReader {
 public:
  explicit GrpcMetadataReader(std::shared_ptr<PutCall> call) : call_(std::move(call)) {}
  bool ReadMetadata(std::string* out) override {
    if (next_ >= call_->acks.size()) return false;
    *out = call_->acks[next_++];
    return true;
  }

 private:
  std::shared_ptr<PutCall> call_;
  size_t next_ = 0;
};

class GrpcFlightClient : public FlightClient {
 public:
  GrpcFlightClient(const Location& location, Headers headers, std::chrono::milliseconds put_deadline)
      : headers_(std::move(headers)), put_deadline_(put_deadline) {
    grpc::ChannelArguments args;
    args.SetMaxReceiveMessageSize(-1);
    args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
    // A server back after a restart is found within a second, not after
    // the channel's backoff grew to minutes.
    args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 100);
    args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
    args.SetInt(GRPC_ARG_ENABLE_RETRIES, 0);  // a retried put would buffer whole frames; puts are not retried
    channel_ = grpc::CreateCustomChannel(location.target, grpc::InsecureChannelCredentials(), args);
    do_put_ = std::make_unique<grpc::internal::RpcMethod>(kDoPutMethod, grpc::internal::RpcMethod::BIDI_STREAMING, channel_);
  }

  DoPutResult DoPut(const FlightDescriptor& descriptor, const std::shared_ptr<const Schema>& schema) override {
    auto call = std::make_shared<PutCall>();
    call->context.set_initial_metadata_corked(true);  // headers go out with the first message
    if (put_deadline_.count() > 0) call->context.set_deadline(std::chrono::system_clock::now() + put_deadline_);
    for (const auto& [key, value] : headers_) call->context.AddMetadata(key, value);
    call->stream.reset(
        grpc::internal::ClientReaderWriterFactory<grpc::ByteBuffer, proto::PutResult>::Create(channel_.get(), *do_put_, &call->context));
    return {std::make_unique<GrpcStreamWriter>(call, wire::SchemaMessage(descriptor, *schema)),
            std::make_unique<GrpcMetadataReader>(call)};
  }

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<grpc::internal::RpcMethod> do_put_;
  Headers headers_;
  std::chrono::milliseconds put_deadline_;
};

}  // namespace

Location Location::Parse(const std::string& uri) {
  for (const std::string scheme : {"grpc://", "grpc+tcp://"}) {
    if (uri.rfind(scheme, 0) == 0) {
      std::string target = uri.substr(scheme.size());
      if (target.find("://") != std::string::npos) break;
      if (const auto slash = target.find('/'); slash != std::string::npos) target.resize(slash);
      if (target.empty()) break;
      return {uri, target};
    }
  }
  throw FlightError(3, "Invalid Flight location: '" + uri + "' (expected grpc://host:port)");
}

std::unique_ptr<FlightClient> FlightClient::Connect(const Location& location, Headers headers, std::chrono::milliseconds put_deadline) {
  return std::make_unique<GrpcFlightClient>(location, std::move(headers), put_deadline);
}

}  // namespace kit::flight
