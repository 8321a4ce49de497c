#include "studio/live/logged_frame.hpp"

#include "kit/json/plain_name.hpp"

#include <cmath>

namespace studio {
namespace {

using kit::flight::TypeId;

const kit::flight::Array* column(const kit::flight::RecordBatch& batch, const char* name, TypeId type,
                                 const char* what) {
  const auto array = batch.GetColumnByName(name);
  if (!array) return nullptr;
  if (array->type->id != type) {
    throw FrameSchemaError(std::string("column \"") + name + "\" must be " + what + ", not " + array->type->ToString());
  }
  return array.get();
}

std::vector<double> numbers(const kit::flight::Array& list, const char* name) {
  if (!list.type->value_type || list.type->value_type->id != TypeId::FLOAT64) {
    throw FrameSchemaError(std::string("column \"") + name + "\" must be a list of numbers, not " + list.type->ToString());
  }
  if (!list.IsValid(0)) throw FrameSchemaError(std::string("column \"") + name + "\" is null");
  auto values = list.GetDoubleList(0);
  for (const double v : values) {
    if (!std::isfinite(v)) throw FrameSchemaError(std::string("column \"") + name + "\" holds a value that is not finite");
  }
  return values;
}

std::string text(const kit::flight::Array& array, const char* name) {
  if (!array.IsValid(0)) throw FrameSchemaError(std::string("column \"") + name + "\" is null");
  const std::string_view v = array.GetView(0);
  if (!valid_utf8(v)) throw FrameSchemaError(std::string("column \"") + name + "\" is not valid UTF-8 text");
  return std::string(v);
}

}  // namespace

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and code points past Unicode are not UTF-8.
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

LoggedFrame read_logged_frame(const kit::flight::RecordBatch& batch) {
  if (batch.num_rows() != 1) throw FrameSchemaError("a frame is one row, not " + std::to_string(batch.num_rows()));
  LoggedFrame f;
  const auto* user = column(batch, "user_id", TypeId::STRING, "text");
  if (!user) throw FrameSchemaError("column \"user_id\" is missing");
  f.user_id = text(*user, "user_id");
  if (f.user_id.empty()) throw FrameSchemaError("column \"user_id\" is empty");
  if (!kit::json::plain_name(f.user_id, 256)) throw FrameSchemaError("column \"user_id\" must be printable text of at most 256 bytes");
  const auto* state = column(batch, "state", TypeId::LIST, "a list of numbers");
  if (!state) throw FrameSchemaError("column \"state\" is missing");
  f.state = numbers(*state, "state");
  if (const auto* action = column(batch, "action", TypeId::LIST, "a list of numbers")) f.action = numbers(*action, "action");
  for (const auto& [name, slot] : {std::pair{"timestamp", &f.timestamp}, std::pair{"fps", &f.fps}}) {
    if (const auto* a = column(batch, name, TypeId::FLOAT64, "a number"); a && a->IsValid(0)) {
      const double v = a->GetDouble(0);
      if (!std::isfinite(v)) throw FrameSchemaError(std::string("column \"") + name + "\" is not finite");
      *slot = v;
    }
  }
  if (const auto* end = column(batch, "episode_end", TypeId::BOOL, "true or false"); end && end->IsValid(0)) {
    f.episode_end = end->GetBool(0);
  }
  if (const auto* type = column(batch, "robot_type", TypeId::STRING, "text"); type && type->IsValid(0)) {
    f.robot_type = text(*type, "robot_type");
  }
  if (const auto* id = column(batch, "frame_id", TypeId::STRING, "text"); id && id->IsValid(0)) f.frame_id = text(*id, "frame_id");
  for (int c = 0; c < batch.num_columns(); ++c) {
    const std::string& name = batch.column_name(c);
    if (!name.starts_with("observation.images.")) continue;
    if (!valid_utf8(name) || name.find('/') != std::string::npos) throw FrameSchemaError("unusable camera column name");
    const auto& array = *batch.column(c);
    if (array.type->id != TypeId::BINARY) {
      throw FrameSchemaError("column \"" + name + "\" must be binary (a JPEG), not " + array.type->ToString());
    }
    if (array.IsValid(0)) f.images.emplace_back(name, array.GetView(0));
  }
  return f;
}

}  // namespace studio
