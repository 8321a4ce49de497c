#include "kit/flight/ipc.hpp"

#include <cstring>
#include <limits>

#include "arrow_ipc_generated.h"

namespace kit::flight::ipc {
namespace {

namespace fb = kit::flight::fb;
using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;

constexpr int64_t kMaxNesting = 32;

int64_t padded8(int64_t n) { return (n + 7) & ~int64_t{7}; }

// ---- writing ----

Offset<fb::Field> write_field(FlatBufferBuilder& fbb, const std::string& name, const DataType& type, bool nullable) {
  std::vector<Offset<fb::Field>> children;
  if (type.id == TypeId::LIST) children.push_back(write_field(fbb, "item", *type.value_type, true));
  const auto children_vec = fbb.CreateVector(children);
  const auto name_off = fbb.CreateString(name);
  fb::Type type_type = fb::Type_NONE;
  Offset<void> type_off;
  switch (type.id) {
    case TypeId::FLOAT64:
      type_type = fb::Type_FloatingPoint;
      type_off = fb::CreateFloatingPoint(fbb, fb::Precision_DOUBLE).Union();
      break;
    case TypeId::BOOL:
      type_type = fb::Type_Bool;
      type_off = fb::CreateBool(fbb).Union();
      break;
    case TypeId::STRING:
      type_type = fb::Type_Utf8;
      type_off = fb::CreateUtf8(fbb).Union();
      break;
    case TypeId::BINARY:
      type_type = fb::Type_Binary;
      type_off = fb::CreateBinary(fbb).Union();
      break;
    case TypeId::LIST:
      type_type = fb::Type_List;
      type_off = fb::CreateList(fbb).Union();
      break;
  }
  return fb::CreateField(fbb, name_off, nullable, type_type, type_off, 0, children_vec);
}

std::string finish(FlatBufferBuilder& fbb, fb::MessageHeader type, Offset<void> header, int64_t body_length) {
  fbb.Finish(fb::CreateMessage(fbb, fb::MetadataVersion_V5, type, header, body_length));
  return std::string(reinterpret_cast<const char*>(fbb.GetBufferPointer()), fbb.GetSize());
}

// Lays the arrays' buffers out as a body, pointing at them where they lie.
struct BodyWriter {
  std::vector<fb::FieldNode> nodes;
  std::vector<fb::Buffer> buffers;
  std::vector<BodyPiece> pieces;
  int64_t length = 0;

  void add_buffer(const void* data, size_t size) {
    buffers.emplace_back(length, static_cast<int64_t>(size));
    if (size == 0) return;
    const int64_t end = length + static_cast<int64_t>(size);
    pieces.push_back({static_cast<const uint8_t*>(data), size, static_cast<size_t>(padded8(end) - end)});
    length = padded8(end);
  }

  void add_array(const Array& a) {
    nodes.emplace_back(a.length, a.null_count);
    if (a.null_count > 0) {
      add_buffer(a.validity.data(), static_cast<size_t>((a.length + 7) / 8));
    } else {
      add_buffer(nullptr, 0);
    }
    switch (a.type->id) {
      case TypeId::FLOAT64: add_buffer(a.values.data(), static_cast<size_t>(a.length) * 8); break;
      case TypeId::BOOL: add_buffer(a.values.data(), static_cast<size_t>((a.length + 7) / 8)); break;
      case TypeId::STRING:
      case TypeId::BINARY:
        add_buffer(a.offsets.data(), a.offsets.size() * 4);
        add_buffer(a.values.data(), static_cast<size_t>(a.offsets.back()));
        break;
      case TypeId::LIST:
        add_buffer(a.offsets.data(), a.offsets.size() * 4);
        add_array(*a.child);
        break;
    }
  }
};

// ---- reading ----

// Flatbuffers reads scalars in place; gRPC hands us bytes with no alignment
// promise, so metadata is copied into 8-byte aligned storage first.
class AlignedMetadata {
 public:
  explicit AlignedMetadata(std::string_view bytes) : words_((bytes.size() + 7) / 8) {
    if (!bytes.empty()) std::memcpy(words_.data(), bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(words_.data()); }
  size_t size() const { return size_; }

 private:
  std::vector<uint64_t> words_;
  size_t size_;
};

const fb::Message* verified_message(const AlignedMetadata& meta) {
  if (meta.size() < 8) throw ArrowError("Invalid flatbuffers message: too short");
  flatbuffers::Verifier verifier(meta.data(), meta.size(), 64, 100000);
  if (!fb::VerifyMessageBuffer(verifier)) throw ArrowError("Invalid flatbuffers message.");
  const fb::Message* message = fb::GetMessage(meta.data());
  if (message->version() < fb::MetadataVersion_V4) throw ArrowError("Old metadata version not supported");
  if (message->version() > fb::MetadataVersion_V5) throw ArrowError("Unsupported future MetadataVersion");
  return message;
}

DataTypePtr read_type(const fb::Field* field, int depth) {
  if (depth > kMaxNesting) throw ArrowError("field nesting too deep");
  if (field->dictionary()) throw ArrowError("dictionary-encoded fields are not supported");
  switch (field->type_type()) {
    case fb::Type_FloatingPoint: {
      const auto* fp = field->type_as_FloatingPoint();
      if (!fp || fp->precision() != fb::Precision_DOUBLE) throw ArrowError("only double floating point is supported");
      return float64();
    }
    case fb::Type_Bool: return boolean();
    case fb::Type_Utf8: return utf8();
    case fb::Type_Binary: return binary();
    case fb::Type_List: {
      const auto* children = field->children();
      if (!children || children->size() != 1) throw ArrowError("List must have exactly 1 child field");
      return list(read_type(children->Get(0), depth + 1));
    }
    case fb::Type_NONE: throw ArrowError("Type metadata cannot be none");
    default:
      throw ArrowError("unsupported Arrow type id " + std::to_string(static_cast<int>(field->type_type())));
  }
}

struct BodyReader {
  const fb::RecordBatch* batch;
  std::string_view body;
  size_t next_node = 0;
  size_t next_buffer = 0;

  // Struct vectors are read by copy: the verifier checks their 4-byte
  // length prefix, not that the 16-byte elements are 8-byte aligned.
  static std::pair<int64_t, int64_t> pair_at(const uint8_t* base, size_t index) {
    int64_t v[2];
    std::memcpy(v, base + index * 16, 16);
    return {v[0], v[1]};
  }

  std::pair<int64_t, int64_t> node() {  // length, null count
    if (!batch->nodes() || next_node >= batch->nodes()->size()) throw ArrowError("record batch has too few field nodes");
    return pair_at(batch->nodes()->Data(), next_node++);
  }

  std::pair<int64_t, int64_t> buffer_entry(size_t index) const {  // offset, length
    return pair_at(batch->buffers()->Data(), index);
  }

  std::string_view buffer(size_t needed) {
    if (!batch->buffers() || next_buffer >= batch->buffers()->size()) {
      throw ArrowError("record batch has too few buffers");
    }
    const auto [offset, length] = buffer_entry(next_buffer);
    const std::string index = std::to_string(next_buffer++);
    if (offset < 0 || length < 0 || offset % 8 != 0) {
      throw ArrowError("Buffer " + index + " did not start on 8-byte aligned offset");
    }
    if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(length) > body.size()) {
      throw ArrowError("Buffer " + index + " extends beyond the message body");
    }
    if (static_cast<size_t>(length) < needed) throw ArrowError("Buffer " + index + " too small");
    return body.substr(static_cast<size_t>(offset), needed);
  }

  std::vector<int32_t> offsets(int64_t length) {
    if (static_cast<uint64_t>(length) * 4 > body.size()) throw ArrowError("offsets beyond the message body");
    std::vector<int32_t> out(static_cast<size_t>(length) + 1, 0);
    const auto raw = buffer(length == 0 ? 0 : out.size() * 4);
    if (length > 0) std::memcpy(out.data(), raw.data(), raw.size());
    const int32_t base = out[0];
    if (base < 0) throw ArrowError("negative offset");
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] < base || (i > 0 && out[i] < out[i - 1])) throw ArrowError("offsets are not non-decreasing");
      out[i] -= base;
    }
    return out;
  }

  std::shared_ptr<const Array> array(const DataTypePtr& type, int depth) {
    if (depth > kMaxNesting) throw ArrowError("array nesting too deep");
    const auto [length, null_count] = node();
    auto a = std::make_shared<Array>();
    a->type = type;
    a->length = length;
    a->null_count = null_count;
    if (a->length < 0 || a->null_count < 0 || a->null_count > a->length || a->length > (int64_t{1} << 40)) {
      throw ArrowError("invalid field node");
    }
    const auto bitmap_bytes = static_cast<size_t>((a->length + 7) / 8);
    const auto validity = buffer(a->null_count > 0 ? bitmap_bytes : 0);
    if (a->null_count > 0) a->validity.assign(validity.begin(), validity.end());
    switch (type->id) {
      case TypeId::FLOAT64: {
        if (a->length > static_cast<int64_t>(body.size())) throw ArrowError("float64 values beyond the message body");
        const auto v = buffer(static_cast<size_t>(a->length) * 8);
        a->values.assign(v.begin(), v.end());
        break;
      }
      case TypeId::BOOL: {
        const auto v = buffer(bitmap_bytes);
        a->values.assign(v.begin(), v.end());
        break;
      }
      case TypeId::STRING:
      case TypeId::BINARY: {
        const int32_t base = peek_first_offset(a->length);
        a->offsets = offsets(a->length);
        const auto data = buffer(static_cast<size_t>(base) + static_cast<size_t>(a->offsets.back()));
        a->values.assign(data.begin() + base, data.end());
        break;
      }
      case TypeId::LIST: {
        a->offsets = offsets(a->length);
        a->child = array(type->value_type, depth + 1);
        break;
      }
    }
    ValidateArray(*a);
    return a;
  }

  // Offsets may start above zero; the data slice then begins there.
  int32_t peek_first_offset(int64_t length) {
    if (length == 0 || !batch->buffers() || next_buffer >= batch->buffers()->size()) return 0;
    const auto [offset, size] = buffer_entry(next_buffer);
    if (size < 4 || offset < 0 || static_cast<uint64_t>(offset) + 4 > body.size()) return 0;
    int32_t first;
    std::memcpy(&first, body.data() + offset, 4);
    return first < 0 ? 0 : first;
  }
};

void append_framed(std::string& out, const std::string& metadata, const std::string& body) {
  const int32_t marker = -1;
  const auto padded = static_cast<int32_t>(padded8(static_cast<int64_t>(metadata.size()) + 8) - 8);
  out.append(reinterpret_cast<const char*>(&marker), 4);
  out.append(reinterpret_cast<const char*>(&padded), 4);
  out += metadata;
  out.append(static_cast<size_t>(padded) - metadata.size(), '\0');
  out += body;
}

}  // namespace

std::string SerializeSchema(const Schema& schema) {
  FlatBufferBuilder fbb(512);
  std::vector<Offset<fb::Field>> fields;
  for (const auto& f : schema.fields()) fields.push_back(write_field(fbb, f.name, *f.type, f.nullable));
  const auto fields_vec = fbb.CreateVector(fields);
  const auto header = fb::CreateSchema(fbb, fb::Endianness_Little, fields_vec);
  return finish(fbb, fb::MessageHeader_Schema, header.Union(), 0);
}

RecordBatchParts SerializeRecordBatchParts(const RecordBatch& batch) {
  BodyWriter w;
  for (int i = 0; i < batch.num_columns(); ++i) w.add_array(*batch.column(i));
  FlatBufferBuilder fbb(512);
  const auto nodes = fbb.CreateVectorOfStructs(w.nodes);
  const auto buffers = fbb.CreateVectorOfStructs(w.buffers);
  const auto header = fb::CreateRecordBatch(fbb, batch.num_rows(), nodes, buffers);
  return {finish(fbb, fb::MessageHeader_RecordBatch, header.Union(), w.length), std::move(w.pieces), w.length};
}

SerializedBatch SerializeRecordBatch(const RecordBatch& batch) {
  RecordBatchParts parts = SerializeRecordBatchParts(batch);
  std::string body;
  body.reserve(static_cast<size_t>(parts.body_length));
  for (const auto& p : parts.body) {
    body.append(reinterpret_cast<const char*>(p.data), p.size);
    body.append(p.padding, '\0');
  }
  return {std::move(parts.metadata), std::move(body)};
}

MessageType ReadMessageType(std::string_view metadata) {
  const AlignedMetadata meta(metadata);
  const fb::Message* m = verified_message(meta);
  switch (m->header_type()) {
    case fb::MessageHeader_Schema: return MessageType::SCHEMA;
    case fb::MessageHeader_RecordBatch: return MessageType::RECORD_BATCH;
    case fb::MessageHeader_DictionaryBatch: throw ArrowError("dictionary batches are not supported");
    default: throw ArrowError("unsupported IPC message type " + std::to_string(static_cast<int>(m->header_type())));
  }
}

std::shared_ptr<const Schema> ReadSchema(std::string_view metadata) {
  const AlignedMetadata meta(metadata);
  const fb::Message* m = verified_message(meta);
  const fb::Schema* s = m->header_as_Schema();
  if (!s) throw ArrowError("message is not a schema");
  if (s->endianness() != fb::Endianness_Little) throw ArrowError("big-endian data is not supported");
  std::vector<Field> fields;
  if (s->fields()) {
    for (const fb::Field* f : *s->fields()) {
      fields.push_back({f->name() ? f->name()->str() : std::string(), read_type(f, 0), f->nullable()});
    }
  }
  return std::make_shared<const Schema>(std::move(fields));
}

std::shared_ptr<RecordBatch> ReadRecordBatch(std::string_view metadata, std::string_view body,
                                             const std::shared_ptr<const Schema>& schema) {
  const AlignedMetadata meta(metadata);
  const fb::Message* m = verified_message(meta);
  const fb::RecordBatch* rb = m->header_as_RecordBatch();
  if (!rb) throw ArrowError("message is not a record batch");
  if (rb->compression()) throw ArrowError("compressed record batches are not supported");
  if (m->body_length() < 0 || static_cast<uint64_t>(m->body_length()) > body.size()) {
    throw ArrowError("message body shorter than its bodyLength");
  }
  BodyReader reader{rb, body.substr(0, static_cast<size_t>(m->body_length()))};
  std::vector<ArrayPtr> columns;
  for (const auto& f : schema->fields()) columns.push_back(reader.array(f.type, 0));
  return RecordBatch::Make(schema, rb->length(), std::move(columns));
}

int64_t ReadBodyLength(std::string_view metadata) {
  const AlignedMetadata meta(metadata);
  return verified_message(meta)->body_length();
}

std::string FramedSchema(const Schema& schema) {
  std::string out;
  append_framed(out, SerializeSchema(schema), {});
  return out;
}

std::string FramedBatch(const RecordBatch& batch) {
  const auto s = SerializeRecordBatch(batch);
  std::string out;
  out.reserve(16 + s.metadata.size() + s.body.size());
  append_framed(out, s.metadata, s.body);
  return out;
}

std::string WriteStream(const std::shared_ptr<const Schema>& schema,
                        const std::vector<std::shared_ptr<RecordBatch>>& batches) {
  std::string out = FramedSchema(*schema);
  for (const auto& b : batches) out += FramedBatch(*b);
  const int32_t eos[2] = {-1, 0};
  out.append(reinterpret_cast<const char*>(eos), 8);
  return out;
}

StreamContents ReadStream(std::string_view bytes) {
  StreamContents out;
  size_t pos = 0;
  auto read_i32 = [&] {
    if (bytes.size() - pos < 4) throw ArrowError("truncated IPC stream");
    int32_t v;
    std::memcpy(&v, bytes.data() + pos, 4);
    pos += 4;
    return v;
  };
  while (pos < bytes.size()) {
    int32_t length = read_i32();
    if (length == -1) length = read_i32();
    if (length == 0) break;
    if (length < 0 || static_cast<size_t>(length) > bytes.size() - pos) throw ArrowError("truncated IPC message");
    const std::string_view metadata = bytes.substr(pos, static_cast<size_t>(length));
    pos += static_cast<size_t>(length);
    const AlignedMetadata meta(metadata);
    const int64_t body_length = verified_message(meta)->body_length();
    if (body_length < 0 || static_cast<uint64_t>(body_length) > bytes.size() - pos) {
      throw ArrowError("truncated IPC message body");
    }
    const std::string_view body = bytes.substr(pos, static_cast<size_t>(body_length));
    pos += static_cast<size_t>(body_length);
    if (ReadMessageType(metadata) == MessageType::SCHEMA) {
      if (out.schema) throw ArrowError("second schema in one IPC stream");
      out.schema = ReadSchema(metadata);
    } else {
      if (!out.schema) throw ArrowError("record batch before the schema");
      out.batches.push_back(ReadRecordBatch(metadata, body, out.schema));
    }
  }
  if (!out.schema) throw ArrowError("IPC stream without a schema");
  return out;
}

}  // namespace kit::flight::ipc
