#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "arrow_ipc_generated.h"
#include "kit/flight/ipc.hpp"

namespace {

namespace fl = kit::flight;
namespace ipc = kit::flight::ipc;
namespace fb = kit::flight::fb;

std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string golden_stream() {
  std::ifstream in(std::string(TESSALINE_TEST_DATA) + "/arrow_golden_stream.hex");
  std::string hex, line;
  while (std::getline(in, line)) hex += line;
  return from_hex(hex);
}

std::shared_ptr<fl::RecordBatch> example_batch() {
  return fl::RecordBatch::FromNamedArrays({
      {"timestamp", fl::MakeFloat64Array({1.5})},
      {"episode_end", fl::MakeBoolArray({true})},
      {"user_id", fl::MakeStringArray({"ab"})},
      {"img", fl::MakeBinaryArray({std::string("\x01\x02\x03", 3)})},
      {"state", fl::MakeFloat64ListArray({std::vector<double>{1.0, 2.0}})},
  });
}

TEST(ArrowIpc, ReadsTheReferenceStream) {
  const auto stream = ipc::ReadStream(golden_stream());
  EXPECT_EQ(stream.schema->ToString(),
            "timestamp: double\nepisode_end: bool\nuser_id: string\nimg: binary\nstate: list<item: double>");
  ASSERT_EQ(stream.batches.size(), 1u);
  const auto& b = *stream.batches[0];
  EXPECT_EQ(b.num_rows(), 1);
  EXPECT_EQ(b.column(0)->GetDouble(0), 1.5);
  EXPECT_TRUE(b.column(1)->GetBool(0));
  EXPECT_EQ(b.column(2)->GetView(0), "ab");
  EXPECT_EQ(b.column(3)->GetView(0), std::string("\x01\x02\x03", 3));
  EXPECT_EQ(b.column(4)->GetDoubleList(0), (std::vector<double>{1.0, 2.0}));
}

TEST(ArrowIpc, WritesTheReferenceBodyByteForByte) {
  const auto encoded = ipc::SerializeRecordBatch(*example_batch());
  const std::string golden = golden_stream();
  EXPECT_EQ(encoded.body, golden.substr(0x308, 72));
  // The metadata may differ in layout from other writers, but must say the same.
  const fb::Message* m = fb::GetMessage(encoded.metadata.data());
  ASSERT_EQ(m->header_type(), fb::MessageHeader_RecordBatch);
  EXPECT_EQ(m->version(), fb::MetadataVersion_V5);
  EXPECT_EQ(m->body_length(), 72);
  const auto* rb = m->header_as_RecordBatch();
  ASSERT_EQ(rb->nodes()->size(), 6u);
  ASSERT_EQ(rb->buffers()->size(), 14u);
  const int64_t offsets[] = {0, 0, 8, 8, 16, 16, 24, 32, 32, 40, 48, 48, 56, 56};
  const int64_t lengths[] = {0, 8, 0, 1, 0, 8, 2, 0, 8, 3, 0, 8, 0, 16};
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(rb->buffers()->Get(i)->offset(), offsets[i]) << i;
    EXPECT_EQ(rb->buffers()->Get(i)->length(), lengths[i]) << i;
  }
  EXPECT_EQ(rb->nodes()->Get(5)->length(), 2);
}

TEST(ArrowIpc, RoundTripsNullsEmptiesManyRowsAndSeveralBatches) {
  auto nulls = fl::RecordBatch::FromNamedArrays({
      {"timestamp", fl::MakeFloat64Array({1.0, std::nullopt, 3.0})},
      {"episode_end", fl::MakeBoolArray({std::nullopt, false, true})},
      {"user_id", fl::MakeStringArray({"x", std::nullopt, ""})},
      {"img", fl::MakeBinaryArray({std::nullopt, std::string("\x01\x02", 2), std::string()})},
      {"state", fl::MakeFloat64ListArray({std::vector<double>{1.0}, std::nullopt, std::vector<double>{}})},
  });
  std::vector<std::optional<bool>> bits;
  for (int i = 0; i < 11; ++i) bits.push_back(i == 4 ? std::nullopt : std::optional<bool>(i % 3 == 0));
  auto many = fl::RecordBatch::FromNamedArrays({{"flag", fl::MakeBoolArray(bits)}});

  const auto back = ipc::ReadStream(ipc::WriteStream(nulls->schema(), {nulls, nulls}));
  ASSERT_EQ(back.batches.size(), 2u);
  const auto& b = *back.batches[1];
  EXPECT_FALSE(b.column(0)->IsValid(1));
  EXPECT_EQ(b.column(0)->GetDouble(2), 3.0);
  EXPECT_FALSE(b.column(1)->IsValid(0));
  EXPECT_FALSE(b.column(1)->GetBool(1));
  EXPECT_TRUE(b.column(1)->GetBool(2));
  EXPECT_EQ(b.column(2)->GetView(0), "x");
  EXPECT_TRUE(b.column(2)->IsValid(2));
  EXPECT_EQ(b.column(2)->GetView(2), "");
  EXPECT_EQ(b.column(3)->GetView(1), std::string("\x01\x02", 2));
  EXPECT_FALSE(b.column(4)->IsValid(1));
  EXPECT_TRUE(b.column(4)->IsValid(2));  // empty list is not a null list
  EXPECT_TRUE(b.column(4)->GetDoubleList(2).empty());

  const auto many_back = ipc::ReadStream(ipc::WriteStream(many->schema(), {many}));
  const auto& flags = *many_back.batches[0]->column(0);
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(flags.IsValid(i), i != 4);
    if (i != 4) {
      EXPECT_EQ(flags.GetBool(i), i % 3 == 0) << i;
    }
  }

  auto empty = fl::RecordBatch::FromNamedArrays({{"s", fl::MakeStringArray({})}});
  EXPECT_EQ(ipc::ReadStream(ipc::WriteStream(empty->schema(), {empty})).batches[0]->num_rows(), 0);
}

// A record batch message built by hand, for the cases our writer never makes.
struct HandBuilt {
  int16_t version = 4;
  bool compressed = false;
  int64_t buffer_offset = 0;
  int64_t buffer_length = 8;
  int64_t body_length = 8;
  std::string metadata() const {
    flatbuffers::FlatBufferBuilder fbb;
    std::vector<fb::FieldNode> nodes{fb::FieldNode(1, 0)};
    std::vector<fb::Buffer> buffers{fb::Buffer(0, 0), fb::Buffer(buffer_offset, buffer_length)};
    const auto n = fbb.CreateVectorOfStructs(nodes);
    const auto b = fbb.CreateVectorOfStructs(buffers);
    flatbuffers::Offset<fb::BodyCompression> c;
    if (compressed) c = fb::CreateBodyCompression(fbb, 0, 0);
    const auto rb = fb::CreateRecordBatch(fbb, 1, n, b, c);
    fbb.Finish(fb::CreateMessage(fbb, static_cast<fb::MetadataVersion>(version), fb::MessageHeader_RecordBatch,
                                 rb.Union(), body_length));
    return std::string(reinterpret_cast<const char*>(fbb.GetBufferPointer()), fbb.GetSize());
  }
};

TEST(ArrowIpc, RejectsWhatItCannotReadSafely) {
  auto schema = std::make_shared<const fl::Schema>(std::vector<fl::Field>{{"x", fl::float64(), true}});
  const std::string body(8, '\0');
  auto read = [&](const HandBuilt& h, const std::string& b) { return ipc::ReadRecordBatch(h.metadata(), b, schema); };
  EXPECT_NO_THROW(read(HandBuilt{}, body));
  EXPECT_NO_THROW(read(HandBuilt{.version = 3}, body));  // V4 is read as well
  EXPECT_THROW(read(HandBuilt{.version = 2}, body), fl::ArrowError);
  EXPECT_THROW(read(HandBuilt{.compressed = true}, body), fl::ArrowError);
  EXPECT_THROW(read(HandBuilt{.buffer_offset = 4}, body), fl::ArrowError);
  EXPECT_THROW(read(HandBuilt{.buffer_offset = 8}, body), fl::ArrowError);  // beyond the body
  EXPECT_THROW(read(HandBuilt{.body_length = 16}, body), fl::ArrowError);  // body shorter than declared
  EXPECT_THROW(read(HandBuilt{.buffer_length = 4}, body), fl::ArrowError);
  EXPECT_THROW(ipc::ReadSchema("garbage that is no flatbuffer"), fl::ArrowError);

  const std::string stream = golden_stream();
  EXPECT_THROW(ipc::ReadStream(stream.substr(0, 400)), fl::ArrowError);
  EXPECT_NO_THROW(ipc::ReadStream(stream.substr(0, stream.size() - 8)));  // EOS is optional
}

}  // namespace
