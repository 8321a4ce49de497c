#pragma once
// The words libav* has for one of its error codes.
#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace kit::video {

inline std::string av_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace kit::video
