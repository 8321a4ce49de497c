#include <grpcpp/grpcpp.h>
#include <grpcpp/resource_quota.h>

#include <chrono>

#include "flight.grpc.pb.h"
#include "kit/flight/flight.hpp"
#include "kit/flight/ipc.hpp"

namespace kit::flight {
namespace proto = arrow::flight::protocol;

namespace {

FlightDescriptor from_proto(const proto::FlightDescriptor& d) {
  FlightDescriptor out;
  out.type = static_cast<FlightDescriptor::Type>(d.type());
  out.cmd = d.cmd();
  out.path.assign(d.path().begin(), d.path().end());
  return out;
}

class PutService final : public proto::FlightService::Service {
 public:
  PutService(FlightServer::PutHandler handler, const FlightServerOptions& options)
      : handler_(std::move(handler)), authorize_(options.authorize), on_batch_(options.on_batch) {}

  grpc::Status DoPut(grpc::ServerContext* context,
                     grpc::ServerReaderWriter<proto::PutResult, proto::FlightData>* stream) override {
    FlightPut put;
    put.peer = context->peer();
    if (authorize_) {
      FlightCaller caller{put.peer, {}};
      for (const auto& [key, value] : context->client_metadata()) {
        caller.headers.emplace_back(std::string(key.data(), key.size()), std::string(value.data(), value.size()));
      }
      if (!authorize_(caller)) {
        return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "this server needs its access token");
      }
    }
    try {
      proto::FlightData data;
      if (!stream->Read(&data)) return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "empty DoPut stream");
      if (!data.has_flight_descriptor()) {
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "Descriptor missing on first message");
      }
      put.descriptor = from_proto(data.flight_descriptor());
      do {
        if (data.data_header().empty()) continue;  // metadata-only message
        if (ipc::ReadMessageType(data.data_header()) == ipc::MessageType::SCHEMA) {
          if (put.schema) throw ArrowError("second schema in one DoPut stream");
          put.schema = ipc::ReadSchema(data.data_header());
        } else {
          if (!put.schema) throw ArrowError("record batch before the schema");
          auto batch = ipc::ReadRecordBatch(data.data_header(), data.data_body(), put.schema);
          if (on_batch_) {
            on_batch_(put.descriptor, batch);
          } else {
            put.batches.push_back(std::move(batch));
          }
        }
      } while (stream->Read(&data));
      if (context->IsCancelled()) return grpc::Status(grpc::StatusCode::CANCELLED, "put cancelled by the client");
      if (!put.schema) throw ArrowError("DoPut stream without a schema");
      if (handler_) handler_(put);
    } catch (const std::exception& e) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, e.what());
    }
    return grpc::Status::OK;
  }

 private:
  FlightServer::PutHandler handler_;
  std::function<bool(const FlightCaller&)> authorize_;
  std::function<void(const FlightDescriptor&, const std::shared_ptr<RecordBatch>&)> on_batch_;
};

}  // namespace

struct FlightServer::Impl {
  FlightServerOptions options;
  PutService service;
  std::unique_ptr<grpc::Server> server;
  int port = 0;
  Impl(FlightServerOptions o, PutHandler h) : options(std::move(o)), service(std::move(h), options) {}
};

FlightServer::FlightServer(FlightServerOptions options, PutHandler on_put)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(on_put))) {
  grpc::ServerBuilder builder;
  const std::string address = impl_->options.host + ":" + std::to_string(impl_->options.port);
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &impl_->port);
  builder.SetMaxReceiveMessageSize(impl_->options.max_receive_bytes);
  if (impl_->options.max_threads > 0) {
    grpc::ResourceQuota quota("flight-server");
    quota.SetMaxThreads(impl_->options.max_threads);
    builder.SetResourceQuota(quota);
  }
  // Every put is a new stream carrying a whole frame (often > 64 KiB); a
  // large initial window lets it arrive without waiting for window updates.
  builder.AddChannelArgument(GRPC_ARG_HTTP2_STREAM_LOOKAHEAD_BYTES, 16 << 20);
  builder.RegisterService(&impl_->service);
  impl_->server = builder.BuildAndStart();
  if (!impl_->server || impl_->port == 0) throw FlightError(14, "cannot listen for Flight on " + address);
}

FlightServer::~FlightServer() { Shutdown(); }

void FlightServer::Shutdown() {
  if (!impl_->server) return;
  impl_->server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
  impl_->server->Wait();
  impl_->server.reset();
}

int FlightServer::port() const { return impl_->port; }

std::string FlightServer::location() const { return "grpc://" + impl_->options.host + ":" + std::to_string(impl_->port); }

}  // namespace kit::flight
