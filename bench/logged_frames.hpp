#pragma once
// Frame records as a capture logs them: two 640×480 cameras whose pictures
// move with the frame number, a state and a timestamp.
#include <cstdint>
#include <memory>
#include <vector>

#include "tessaline/grpc_client.hpp"

namespace bench {

inline tessaline::NdArray camera_image(int camera, int frame) {
  tessaline::NdArray img(tessaline::DType::uint8, {480, 640, 3});
  auto* p = reinterpret_cast<uint8_t*>(img.mutable_data());
  for (size_t y = 0; y < 480; ++y) {
    for (size_t x = 0; x < 640; ++x) {
      uint8_t* px = p + (y * 640 + x) * 3;
      px[0] = static_cast<uint8_t>(x / 3 + frame);
      px[1] = static_cast<uint8_t>(y / 2 + camera * 60);
      px[2] = static_cast<uint8_t>(((x / 16 + y / 16 + frame) % 2) * 200);
    }
  }
  return img;
}

inline std::shared_ptr<const tessaline::Record> logged_frame(int i, int fps = 30) {
  auto r = std::make_shared<tessaline::Record>();
  r->set("observation.images.cam_front", camera_image(0, i));
  r->set("observation.images.cam_wrist", camera_image(1, i));
  r->set("state", tessaline::NdArray::from_vector(tessaline::DType::float32, std::vector<float>(6, 0.5f)));
  r->set("timestamp", i / double(fps));
  return r;
}

}  // namespace bench
