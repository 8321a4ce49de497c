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
