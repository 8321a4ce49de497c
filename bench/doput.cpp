// DoPut throughput of our Flight client at three payload sizes, one put per
// stream as frame logging does, against a raw gRPC stream that sends the
// same FlightData bytes (encoded once, beforehand) to the same server with
// the same call pattern: the limit no client can pass. Also shown: a client
// that copies the body into one buffer before gRPC sends it (how a
// protobuf-message client works), for comparison.
//   doput [SECONDS_PER_RUN]
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/rpc_method.h>
#include <grpcpp/support/sync_stream.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench/report.hpp"
#include "kit/flight/flight.hpp"
#include "kit/flight/flight_data.hpp"
#include "kit/flight/ipc.hpp"

namespace {

namespace fl = kit::flight;
using Clock = std::chrono::steady_clock;

// Puts per second of `put` over `seconds`, after a short warm-up.
double rate(const std::function<void()>& put, double seconds) {
  for (int i = 0; i < 20; ++i) put();
  const auto start = Clock::now();
  long n = 0;
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
    put();
    ++n;
  }
  return n / std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A DoPut call on the channel sending ready-made messages.
class RawPut {
 public:
  explicit RawPut(const std::string& target) {
    grpc::ChannelArguments args;
    args.SetMaxReceiveMessageSize(-1);
    channel_ = grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), args);
    method_ = std::make_unique<grpc::internal::RpcMethod>("/arrow.flight.protocol.FlightService/DoPut",
                                                          grpc::internal::RpcMethod::BIDI_STREAMING, channel_);
  }
  void operator()(const grpc::ByteBuffer& first, const grpc::ByteBuffer& batch) {
    grpc::ClientContext context;
    context.set_initial_metadata_corked(true);
    std::unique_ptr<grpc::ClientReaderWriter<grpc::ByteBuffer, grpc::ByteBuffer>> stream(
        grpc::internal::ClientReaderWriterFactory<grpc::ByteBuffer, grpc::ByteBuffer>::Create(channel_.get(), *method_,
                                                                                              &context));
    stream->Write(first, grpc::WriteOptions().set_buffer_hint());
    stream->Write(batch, grpc::WriteOptions().set_last_message());
    grpc::ByteBuffer ack;
    while (stream->Read(&ack)) {
    }
    if (!stream->Finish().ok()) throw std::runtime_error("raw put failed");
  }

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<grpc::internal::RpcMethod> method_;
};

// The batch message in one contiguous buffer, its body copied twice on the
// way (arrays → body, body → message), as a client built on protobuf
// messages does.
grpc::ByteBuffer copied_message(const fl::RecordBatch& batch) {
  const auto encoded = fl::ipc::SerializeRecordBatch(batch);
  // The message's leading fields, up to the body, as our encoder writes them.
  std::vector<grpc::Slice> slices;
  const grpc::ByteBuffer borrowed = fl::wire::BatchMessage(batch);
  borrowed.Dump(&slices);
  const size_t prefix = borrowed.Length() - encoded.body.size();
  auto* whole = new std::string;
  whole->reserve(borrowed.Length());
  for (const auto& s : slices) {
    if (whole->size() == prefix) break;
    whole->append(reinterpret_cast<const char*>(s.begin()), std::min(s.size(), prefix - whole->size()));
  }
  *whole += encoded.body;
  grpc::Slice slice(whole->data(), whole->size(), [](void* s) { delete static_cast<std::string*>(s); }, whole);
  return grpc::ByteBuffer(&slice, 1);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  long received = 0;
  fl::FlightServer server({}, [&](fl::FlightPut& put) { received += static_cast<long>(put.batches.size()); });
  const std::string target = server.location().substr(7);
  auto client = fl::FlightClient::Connect(fl::Location::Parse(server.location()));
  RawPut raw(target);
  const auto descriptor = fl::FlightDescriptor::Path({"robot_data"});

  std::printf("%-8s %12s %12s %14s %8s\n", "payload", "ours put/s", "raw put/s", "copying put/s", "ratio");
  for (const auto& [name, bytes] : std::vector<std::pair<const char*, size_t>>{{"16 B", 16}, {"50 kB", 50'000}, {"0.9 MB", 900'000}}) {
    const auto batch = fl::RecordBatch::FromNamedArrays(
        {{"user_id", fl::MakeStringArray({"bench"})}, {"payload", fl::MakeBinaryArray({std::string(bytes, 'p')})}});
    const grpc::ByteBuffer first = fl::wire::SchemaMessage(descriptor, *batch->schema());
    const grpc::ByteBuffer ready = fl::wire::BatchMessage(*batch);
    auto ours = [&] {
      auto put = client->DoPut(descriptor, batch->schema());
      put.writer->WriteRecordBatch(*batch);
      put.writer->Close();
    };
    auto limit = [&] { raw(first, ready); };
    auto copying = [&] { raw(first, copied_message(*batch)); };
    // Rounds interleave the three, so a busy moment of the machine hits
    // all of them; the verdict is the median of each round's ratio.
    std::vector<double> r_ours, r_raw, r_copy, ratios;
    for (int round = 0; round < 5; ++round) {
      r_ours.push_back(rate(ours, seconds));
      r_raw.push_back(rate(limit, seconds));
      r_copy.push_back(rate(copying, seconds));
      ratios.push_back(r_ours.back() / r_raw.back());
    }
    const double ratio = median(ratios);
    std::printf("%-8s %12.0f %12.0f %14.0f %8.2f\n", name, median(r_ours), median(r_raw), median(r_copy), ratio);
    bench::report(std::string("DoPut ") + name + ": puts/s vs a raw gRPC stream of the same bytes",
                  bench::format("%.2f", ratio), ">= 0.90", ratio >= 0.90);
  }
  std::printf("(puts received by the server: %ld)\n", received);
  return 0;
}
