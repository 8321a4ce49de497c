#include <grpcpp/grpcpp.h>
#include <grpcpp/resource_quota.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

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

// "ipv4:10.0.0.7:5000" -> "ipv4:10.0.0.7"; "ipv6:[::1]:5000" -> "ipv6:[::1]".
std::string address_of_peer(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos || peer.starts_with("unix:") ? peer : peer.substr(0, colon);
}

bool loopback_peer_address(const std::string& address) {
  return address.starts_with("unix:") || address.starts_with("ipv4:127.") || address == "ipv6:[::1]" ||
         address.starts_with("ipv6:[::ffff:127.");
}

// The puts open right now: counted per client connection and address, with
// when each last delivered a message. A watchdog cancels idle ones.
class OpenPuts {
  static constexpr const char* kLoopback = "loopback";  // every client on this computer counts as one address

 public:
  explicit OpenPuts(const FlightServerOptions& o) : options_(o) {
    if (options_.idle_timeout.count() > 0) watchdog_ = std::thread([this] { watch(); });
  }
  ~OpenPuts() { stop(); }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
  }

  // An id for the put, or nothing when a limit refuses it.
  std::optional<uint64_t> open(grpc::ServerContext* context, const std::string& peer) {
    const std::string address = address_of_peer(peer);
    std::lock_guard lock(mutex_);
    if (options_.max_puts_per_client > 0 && per_client_[peer] >= options_.max_puts_per_client) return std::nullopt;
    const bool loopback = loopback_peer_address(address);
    const int cap = loopback ? options_.max_puts_from_loopback : options_.max_puts_per_address;
    if (cap > 0 && per_address_[loopback ? kLoopback : address] >= cap) return std::nullopt;
    ++per_client_[peer];
    ++per_address_[loopback ? kLoopback : address];
    const uint64_t id = next_id_++;
    open_[id] = {context, peer, loopback ? kLoopback : address, Clock::now(), false};
    return id;
  }

  void touch(uint64_t id) {
    std::lock_guard lock(mutex_);
    open_.at(id).last = Clock::now();
  }

  // Whether the watchdog cancelled it.
  bool close(uint64_t id) {
    std::lock_guard lock(mutex_);
    const Slot slot = open_.at(id);
    open_.erase(id);
    if (--per_client_[slot.client] == 0) per_client_.erase(slot.client);
    if (--per_address_[slot.address] == 0) per_address_.erase(slot.address);
    return slot.idle;
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    grpc::ServerContext* context;
    std::string client, address;
    Clock::time_point last;
    bool idle;
  };

  void watch() {
    const auto period = std::max(std::chrono::milliseconds(10), options_.idle_timeout / 4);
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
      const auto now = Clock::now();
      for (auto& [id, slot] : open_) {
        if (!slot.idle && now - slot.last > options_.idle_timeout) {
          slot.idle = true;
          slot.context->TryCancel();
        }
      }
    }
  }

  const FlightServerOptions& options_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  bool stopping_ = false;
  uint64_t next_id_ = 1;
  std::map<uint64_t, Slot> open_;
  std::map<std::string, int> per_client_, per_address_;
  std::thread watchdog_;
};

class PutService final : public proto::FlightService::Service {
 public:
  PutService(FlightServer::PutHandler handler, const FlightServerOptions& options)
      : handler_(std::move(handler)), authorize_(options.authorize), on_batch_(options.on_batch), open_(options) {}

  void stop_watching() { open_.stop(); }

  grpc::Status DoPut(grpc::ServerContext* context,
                     grpc::ServerReaderWriter<proto::PutResult, proto::FlightData>* stream) override {
    const std::string peer = context->peer();
    const auto id = open_.open(context, peer);
    if (!id) {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, "too many puts open at once from " + peer);
    }
    grpc::Status status = receive(context, stream, *id);
    if (open_.close(*id)) return grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, "the put sent nothing for too long");
    return status;
  }

 private:
  grpc::Status receive(grpc::ServerContext* context,
                       grpc::ServerReaderWriter<proto::PutResult, proto::FlightData>* stream, uint64_t id) {
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
        if (data.data_header().empty()) continue;  // metadata-only message: not a sign of life
        open_.touch(id);
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
    } catch (const FlightExhausted& e) {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, e.what());
    } catch (const std::exception& e) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, e.what());
    }
    return grpc::Status::OK;
  }

  FlightServer::PutHandler handler_;
  std::function<bool(const FlightCaller&)> authorize_;
  std::function<void(const FlightDescriptor&, const std::shared_ptr<RecordBatch>&)> on_batch_;
  OpenPuts open_;
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
  impl_->service.stop_watching();
}

int FlightServer::port() const { return impl_->port; }

std::string FlightServer::location() const { return "grpc://" + impl_->options.host + ":" + std::to_string(impl_->port); }

}  // namespace kit::flight
