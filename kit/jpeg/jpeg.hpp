#pragma once
// JPEG encoding of RGB images (libjpeg-turbo). The encoder takes RGB as it
// is, so the stored bytes decode to the captured colours without a channel
// swap copy.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kit::jpeg {

struct JpegError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Encodes a height x width x 3 RGB image (rows packed) with 4:2:0 chroma.
std::string encode_rgb(const uint8_t* rgb, int width, int height, int quality = 95);

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // height x width x 3
};
DecodedImage decode_rgb(const std::string& jpeg);
// A 4:2:0 JPEG's planes as stored: full-range (JFIF) Y, Cb and Cr, chroma
// at half width and height, no colour conversion. Buffers are reused from
// one call to the next.
struct Yuv420Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, cb, cr;
  int y_stride = 0, c_stride = 0;
};
// False, leaving `into` unspecified, when the JPEG has other subsampling
// (decode_rgb takes every JPEG). Throws JpegError for a damaged one.
bool decode_yuv420(std::string_view jpeg, Yuv420Image& into);
// Width and height from the JPEG header only.
std::pair<int, int> image_size(std::string_view jpeg);

}  // namespace kit::jpeg
