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
// Width and height from the JPEG header only.
std::pair<int, int> image_size(std::string_view jpeg);

}  // namespace kit::jpeg
