#pragma once
// Cameras read on their own thread; the control loop only takes the latest
// frame, so a slow camera never stalls it. A camera that misses frames for
// a moment gives its last image again, counted as repeated; one silent past
// a bound is reported (read_latest throws), never silently frozen.
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "kit/values/values.hpp"

namespace armkit {

struct CameraError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The camera cannot be opened at all (gone, or taken by another program),
// as opposed to one that is merely slow to deliver.
struct CameraUnavailable : CameraError {
  using CameraError::CameraError;
};

// A camera by OpenCV index ("0"), device path ("/dev/video2") or a virtual
// camera of the rig ("virtual:/path/to/frames").
struct OpenCVCameraConfig {
  std::string index_or_path;
  int width = 640;
  int height = 480;
  int fps = 30;
  // The pixel format asked of a USB camera; "" leaves the driver's choice.
  // MJPG by default, as the framework now does: raw YUYV at 640x480@30 takes
  // ~18 MB/s, and two such cameras fill a USB 2 bus.
  std::string fourcc = "MJPG";
};

struct ProbedCamera {
  int width;
  int height;
  int fps;  // as the device reports it (0 when it does not say)
};
// Opens a V4L2 capture index and reads one frame; nullopt when it cannot.
std::optional<ProbedCamera> probe_camera_index(int index);
// The rig's virtual camera behind a frame file; nullopt when there is none.
std::optional<ProbedCamera> probe_virtual_camera(const std::string& frame_file);

class Camera {
 public:
  explicit Camera(OpenCVCameraConfig config);
  ~Camera();  // disconnect()
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  const OpenCVCameraConfig config;
  void connect();  // throws CameraError when the camera cannot be opened
  void disconnect();
  bool is_connected() const { return running_; }
  // The newest RGB frame (H x W x 3), shared; the one given last time when
  // none came since (counted in frames_repeated()). Throws CameraError when
  // none arrived for `stale_after` (a stopped camera) or before the first frame.
  kit::NdArray read_latest(std::chrono::milliseconds stale_after = std::chrono::milliseconds(1000)) const;
  uint64_t frames_read() const { return frames_; }
  uint64_t frames_repeated() const { return repeated_; }

 private:
  struct Source;
  void run();

  std::unique_ptr<Source> source_;
  std::atomic<std::shared_ptr<const kit::NdArray>> latest_;
  std::atomic<int64_t> latest_at_ns_{0};
  std::atomic<uint64_t> frames_{0};
  mutable std::atomic<uint64_t> given_{0};     // frames_ when read_latest last gave a frame
  mutable std::atomic<uint64_t> repeated_{0};
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace armkit
