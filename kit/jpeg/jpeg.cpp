#include "kit/jpeg/jpeg.hpp"

#include <turbojpeg.h>

#include <memory>

namespace kit::jpeg {
namespace {

struct HandleCloser {
  void operator()(void* h) const { tjDestroy(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// TurboJPEG handles are not thread-safe; one per thread and direction.
tjhandle compressor() {
  thread_local Handle h(tjInitCompress());
  if (!h) throw JpegError("cannot create JPEG encoder");
  return h.get();
}

tjhandle decompressor() {
  thread_local Handle h(tjInitDecompress());
  if (!h) throw JpegError("cannot create JPEG decoder");
  return h.get();
}

}  // namespace

std::string encode_rgb(const uint8_t* rgb, int width, int height, int quality) {
  if (width <= 0 || height <= 0) throw JpegError("image has no pixels");
  tjhandle h = compressor();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(h, rgb, width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, quality, TJFLAG_FASTDCT) != 0) {
    if (out) tjFree(out);
    throw JpegError(std::string("JPEG encoding failed: ") + tjGetErrorStr2(h));
  }
  std::string bytes(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  return bytes;
}

DecodedImage decode_rgb(const std::string& jpeg) {
  tjhandle h = decompressor();
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  if (tjDecompressHeader3(h, data, jpeg.size(), &width, &height, &subsamp, &colorspace) != 0) {
    throw JpegError(std::string("not a JPEG image: ") + tjGetErrorStr2(h));
  }
  DecodedImage img{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
  if (tjDecompress2(h, data, jpeg.size(), img.rgb.data(), width, 0, height, TJPF_RGB, 0) != 0) {
    throw JpegError(std::string("JPEG decoding failed: ") + tjGetErrorStr2(h));
  }
  return img;
}

bool decode_yuv420(std::string_view jpeg, Yuv420Image& into) {
  tjhandle h = decompressor();
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  if (tjDecompressHeader3(h, data, jpeg.size(), &width, &height, &subsamp, &colorspace) != 0) {
    throw JpegError(std::string("not a JPEG image: ") + tjGetErrorStr2(h));
  }
  if (subsamp != TJSAMP_420 || colorspace != TJCS_YCbCr) return false;
  into.width = width;
  into.height = height;
  into.y_stride = tjPlaneWidth(0, width, TJSAMP_420);
  into.c_stride = tjPlaneWidth(1, width, TJSAMP_420);
  into.y.resize(static_cast<size_t>(into.y_stride) * tjPlaneHeight(0, height, TJSAMP_420));
  into.cb.resize(static_cast<size_t>(into.c_stride) * tjPlaneHeight(1, height, TJSAMP_420));
  into.cr.resize(into.cb.size());
  unsigned char* planes[3] = {into.y.data(), into.cb.data(), into.cr.data()};
  int strides[3] = {into.y_stride, into.c_stride, into.c_stride};
  if (tjDecompressToYUVPlanes(h, data, jpeg.size(), planes, width, strides, height, 0) != 0) {
    throw JpegError(std::string("JPEG decoding failed: ") + tjGetErrorStr2(h));
  }
  return true;
}

}  // namespace kit::jpeg

namespace kit::jpeg {

std::pair<int, int> image_size(std::string_view jpeg) {
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor(), reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), &width,
                          &height, &subsamp, &colorspace) != 0) {
    throw JpegError("not a JPEG image");
  }
  return {width, height};
}

}  // namespace kit::jpeg
