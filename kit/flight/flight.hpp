#pragma once
// Arrow Flight over gRPC, DoPut only: a client that streams record batches
// to a path, and a server that decodes such streams. Interfaces follow
// Arrow C++ (FlightClient::DoPut, FlightStreamWriter) so it can replace this.
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/flight/array.hpp"

namespace kit::flight {

// Errors of the Flight client's own family: the transport or the server.
struct FlightError : std::runtime_error {
  FlightError(int code, const std::string& text) : std::runtime_error(text), grpc_code(code) {}
  int grpc_code;
};

// What a server's batch handler throws when it cannot take a batch now.
struct FlightExhausted : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct FlightDescriptor {
  enum class Type { UNKNOWN = 0, PATH = 1, CMD = 2 };
  Type type = Type::UNKNOWN;
  std::string cmd;
  std::vector<std::string> path;

  static FlightDescriptor Path(std::vector<std::string> path) { return {Type::PATH, {}, std::move(path)}; }
};

// "grpc://host:port" or "grpc+tcp://host:port".
struct Location {
  std::string uri;
  std::string target;  // host:port for the channel
  static Location Parse(const std::string& uri);  // throws FlightError
};

class FlightStreamWriter {
 public:
  virtual ~FlightStreamWriter() = default;
  virtual void WriteRecordBatch(const RecordBatch& batch) = 0;  // throws FlightError
  // Half-closes, drains the server's answers and checks the final status.
  virtual void Close() = 0;
};

class FlightMetadataReader {
 public:
  virtual ~FlightMetadataReader() = default;
  virtual bool ReadMetadata(std::string* out) = 0;
};

struct DoPutResult {
  std::unique_ptr<FlightStreamWriter> writer;
  std::unique_ptr<FlightMetadataReader> reader;
};

class FlightClient {
 public:
  virtual ~FlightClient() = default;
  // Creates the channel; connecting happens at the first call. Every call
  // carries `headers` as gRPC metadata (keys in lower case).
  // A put not done within `put_deadline` (0: none) ends DEADLINE_EXCEEDED,
  // so a server that went silent costs a caller that long, not forever.
  using Headers = std::vector<std::pair<std::string, std::string>>;
  static std::unique_ptr<FlightClient> Connect(const Location& location, Headers headers = {},
                                               std::chrono::milliseconds put_deadline = std::chrono::milliseconds(0));
  // Opens a put and sends the descriptor with the schema.
  virtual DoPutResult DoPut(const FlightDescriptor& descriptor, const std::shared_ptr<const Schema>& schema) = 0;
};

// One completed DoPut as the server decoded it.
struct FlightPut {
  FlightDescriptor descriptor;
  std::shared_ptr<const Schema> schema;
  std::vector<std::shared_ptr<RecordBatch>> batches;
  std::string peer;
};

// Who is calling, before anything of the call is read.
struct FlightCaller {
  std::string peer;  // gRPC's form: "ipv4:127.0.0.1:5000", "ipv6:[::1]:5000"
  std::vector<std::pair<std::string, std::string>> headers;  // the call's metadata
};

struct FlightServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;                 // 0: any free port
  int max_receive_bytes = -1;   // -1: no limit (camera frames exceed gRPC's 4 MiB default)
  int max_threads = 0;          // 0: gRPC's own choice; else at most this many serving threads
  // When set, a call it refuses ends with UNAUTHENTICATED before its data is read.
  // on_batch may throw FlightExhausted to end the put RESOURCE_EXHAUSTED
  // (its sender may try again later: a full disk, say).
  std::function<bool(const FlightCaller&)> authorize;
  // Without it a put's batches are held until the put ends. When set, each
  // batch is handed over as it arrives (on a gRPC thread) and not kept: a
  // put holds one message at a time, however long it is. An exception fails
  // the put with INVALID_ARGUMENT and its text; batches handed over before
  // stay handed over.
  std::function<void(const FlightDescriptor&, const std::shared_ptr<RecordBatch>&)> on_batch;
  // 0: no limit. Puts open at once from one client connection, from one
  // address beyond loopback, and from loopback (every client on this
  // computer together); past any of them a put ends RESOURCE_EXHAUSTED.
  int max_puts_per_client = 0;
  int max_puts_per_address = 0;
  int max_puts_from_loopback = 0;
  // 0: none. A put that delivers no schema or batch for this long is
  // cancelled (DEADLINE_EXCEEDED), so a stuck, silent or trickling client
  // frees its thread; messages without data do not count as delivered.
  std::chrono::milliseconds idle_timeout{0};
};

class FlightServer {
 public:
  // Called on a gRPC thread once per put, after the client half-closed
  // (without the batches when options.on_batch takes them; may be empty);
  // an exception fails the put with INVALID_ARGUMENT and its text.
  using PutHandler = std::function<void(FlightPut&)>;

  FlightServer(FlightServerOptions options, PutHandler on_put);
  ~FlightServer();  // shuts down, cancelling calls still open after 1 s
  FlightServer(const FlightServer&) = delete;
  FlightServer& operator=(const FlightServer&) = delete;

  int port() const;
  std::string location() const;  // "grpc://host:port"
  void Shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kit::flight
