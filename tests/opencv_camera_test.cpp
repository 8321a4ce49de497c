// The OpenCV capture path of armkit's Camera, with a video file standing in
// for a USB camera.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "armkit/cameras/camera.hpp"
#include <opencv2/videoio.hpp>

namespace {

using namespace std::chrono_literals;

TEST(OpenCvCamera, ReadsThroughOpenCvInRgbOrder) {
  // A video file stands in for a USB camera: the same OpenCV capture path.
  const auto path = std::filesystem::temp_directory_path() / ("camera-" + std::to_string(getpid()) + ".avi");
  {
    cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(64, 48));
    ASSERT_TRUE(writer.isOpened());
    const cv::Mat bgr(48, 64, CV_8UC3, cv::Scalar(200, 40, 10));  // blue-ish in BGR order
    for (int i = 0; i < 60; ++i) writer.write(bgr);
  }
  armkit::Camera camera({path.string(), 64, 48, 30});
  camera.connect();
  for (int i = 0; i < 100 && camera.frames_read() == 0; ++i) std::this_thread::sleep_for(10ms);
  const auto frame = camera.read_latest(std::chrono::milliseconds(5000));
  ASSERT_EQ(frame.shape(), (std::vector<size_t>{48, 64, 3}));
  const auto* px = reinterpret_cast<const uint8_t*>(frame.data()) + (24 * 64 + 32) * 3;
  EXPECT_NEAR(px[0], 10, 20);   // red
  EXPECT_NEAR(px[2], 200, 20);  // blue
  camera.disconnect();
  std::filesystem::remove(path);
  EXPECT_THROW(armkit::Camera({"/nonexistent/video9", 64, 48, 30}).connect(), armkit::CameraError);
}

}  // namespace
