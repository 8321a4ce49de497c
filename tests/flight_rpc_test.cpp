#include <gtest/gtest.h>

#include "kit/flight/flight.hpp"
#include "tests/support/flight_recorder.hpp"

namespace {

namespace fl = kit::flight;

TEST(FlightRpc, DoPutDeliversDescriptorSchemaAndBatches) {
  test_support::FlightRecorder server;
  auto client = fl::FlightClient::Connect(fl::Location::Parse(server.location()));
  auto batch = fl::RecordBatch::FromNamedArrays({{"v", fl::MakeFloat64Array({1.0, 2.0})}});
  auto put = client->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema());
  put.writer->WriteRecordBatch(*batch);
  put.writer->WriteRecordBatch(*batch);
  put.writer->Close();
  ASSERT_EQ(server.wait_for_puts(1, 5), 1u);
  const auto got = server.puts()[0];
  EXPECT_EQ(got.descriptor.type, fl::FlightDescriptor::Type::PATH);
  EXPECT_EQ(got.descriptor.path, std::vector<std::string>{"robot_data"});
  ASSERT_EQ(got.batches.size(), 2u);
  EXPECT_EQ(got.batches[1]->column(0)->GetDouble(1), 2.0);
}

// Large buffers travel without being copied, as slices of the arrays: the
// put must carry their exact bytes even when the caller lets go of the
// batch before the message has left.
TEST(FlightRpc, LargeBuffersArriveIntactAfterTheCallerDroppedThem) {
  test_support::FlightRecorder server;
  auto client = fl::FlightClient::Connect(fl::Location::Parse(server.location()));
  std::string picture(5'000'000, '\0');  // past gRPC's default 4 MiB limit too
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>(i * 131 % 251);
  const std::string small(100, 's');
  auto batch = fl::RecordBatch::FromNamedArrays({{"img", fl::MakeBinaryArray({picture})},
                                                 {"user_id", fl::MakeStringArray({small})},
                                                 {"v", fl::MakeFloat64Array({0.5})}});
  auto put = client->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema());
  put.writer->WriteRecordBatch(*batch);
  batch.reset();  // the message is held until Close
  put.writer->Close();
  ASSERT_EQ(server.wait_for_puts(1, 5), 1u);
  const auto& got = *server.puts()[0].batches[0];
  EXPECT_TRUE(got.column(0)->GetView(0) == picture);
  EXPECT_EQ(got.column(1)->GetView(0), small);
  EXPECT_EQ(got.column(2)->GetDouble(0), 0.5);
}

TEST(FlightRpc, ServerRejectionSurfacesAtClose) {
  fl::FlightServer server({}, [](fl::FlightPut&) { throw std::runtime_error("no room for this"); });
  auto client = fl::FlightClient::Connect(fl::Location::Parse(server.location()));
  auto batch = fl::RecordBatch::FromNamedArrays({{"v", fl::MakeFloat64Array({1.0})}});
  auto put = client->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema());
  put.writer->WriteRecordBatch(*batch);
  try {
    put.writer->Close();
    FAIL() << "rejection not reported";
  } catch (const fl::FlightError& e) {
    EXPECT_EQ(e.grpc_code, 3);
    EXPECT_NE(std::string(e.what()).find("no room for this"), std::string::npos);
  }
}

TEST(FlightRpc, LocationsNeedTheGrpcSchemeAndAHost) {
  EXPECT_EQ(fl::Location::Parse("grpc://h:1").target, "h:1");
  EXPECT_EQ(fl::Location::Parse("grpc+tcp://h:1/").target, "h:1");
  EXPECT_THROW(fl::Location::Parse("grpc://"), fl::FlightError);
  EXPECT_THROW(fl::Location::Parse("grpc://grpc+tls://h:1"), fl::FlightError);
  EXPECT_THROW(fl::Location::Parse("http://h:1"), fl::FlightError);
}

}  // namespace

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <thread>

#include "flight.grpc.pb.h"

namespace {

// A put that keeps its stream alive with messages that carry no data (an
// empty FlightData every few hundred ms) is cut off at the idle limit as
// a silent one is: only schemas and batches count as signs of life.
TEST(FlightLimits, APutTricklingEmptyMessagesIsCutOffAtTheIdleLimit) {
  fl::FlightServerOptions options;
  options.port = 0;
  options.idle_timeout = std::chrono::milliseconds(800);
  fl::FlightServer server(options, [](fl::FlightPut&) {});
  auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.port()), grpc::InsecureChannelCredentials());
  auto stub = arrow::flight::protocol::FlightService::NewStub(channel);
  grpc::ClientContext context;
  auto stream = stub->DoPut(&context);
  arrow::flight::protocol::FlightData first;
  first.mutable_flight_descriptor()->set_type(arrow::flight::protocol::FlightDescriptor::PATH);
  first.mutable_flight_descriptor()->add_path("robot_data");
  ASSERT_TRUE(stream->Write(first));
  const auto start = std::chrono::steady_clock::now();
  bool writing = true;
  while (writing && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    writing = stream->Write(arrow::flight::protocol::FlightData());
  }
  stream->WritesDone();
  const grpc::Status status = stream->Finish();
  const double lasted = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(status.ok());
  EXPECT_LT(lasted, 5.0) << "kept alive by empty messages";
}

// Programs on this computer together hold at most their share of puts:
// past it theirs are refused, and a put from elsewhere still gets a thread.
TEST(FlightLimits, LoopbackPutsHaveACapOfTheirOwn) {
  fl::FlightServerOptions options;
  options.port = 0;
  options.max_puts_from_loopback = 4;
  fl::FlightServer server(options, [](fl::FlightPut&) {});
  auto batch = fl::RecordBatch::FromNamedArrays({{"v", fl::MakeFloat64Array({1.0})}});
  std::vector<std::unique_ptr<fl::FlightClient>> clients;
  std::vector<fl::DoPutResult> open;
  for (int i = 0; i < 4; ++i) {  // 4 clients x 2 puts: half of them past the loopback cap
    clients.push_back(fl::FlightClient::Connect(fl::Location::Parse(server.location())));
    for (int k = 0; k < 2; ++k) {
      open.push_back(clients.back()->DoPut(fl::FlightDescriptor::Path({"robot_data"}), batch->schema()));
      try {
        open.back().writer->WriteRecordBatch(*batch);
      } catch (const fl::FlightError&) {
        // refused already: Close says why
      }
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int refused = 0;
  for (auto& put : open) {
    try {
      put.writer->Close();
    } catch (const fl::FlightError& e) {
      refused += std::string(e.what()).find("too many puts") != std::string::npos;
    }
  }
  EXPECT_EQ(refused, 4);
}

}  // namespace
