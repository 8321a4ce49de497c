#include "armkit/cameras/camera.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cctype>
#include <cstring>
#include <filesystem>

#include "armkit/sim/frame_file.hpp"
#include "kit/log/logger.hpp"

namespace armkit {
namespace {
using Clock = std::chrono::steady_clock;
constexpr std::string_view kVirtual = "virtual:";
}  // namespace

struct Camera::Source {
  cv::VideoCapture capture;
  std::unique_ptr<FrameFileReader> virtual_camera;
  uint64_t seen = 0;
};

std::optional<ProbedCamera> probe_camera_index(int index) {
  // Indices without a device node are skipped without asking OpenCV, which
  // is slow and noisy about devices that are not there.
  if (!std::filesystem::exists("/dev/video" + std::to_string(index))) return std::nullopt;
  cv::VideoCapture capture;
  if (!capture.open(index, cv::CAP_V4L2)) return std::nullopt;
  cv::Mat frame;
  if (!capture.read(frame) || frame.empty()) return std::nullopt;
  return ProbedCamera{static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                      static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)),
                      static_cast<int>(capture.get(cv::CAP_PROP_FPS))};
}

std::optional<ProbedCamera> probe_virtual_camera(const std::string& frame_file) {
  try {
    FrameFileReader reader(frame_file);
    kit::NdArray frame;
    uint64_t seen = 0;
    if (!reader.read_if_new(frame, seen)) return std::nullopt;  // nothing drawn yet
    return ProbedCamera{reader.width(), reader.height(), 30};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

namespace {

// Once at connect: what the camera agreed to, and a format it refused.
void say_what_it_delivers(const OpenCVCameraConfig& config, cv::VideoCapture& capture) {
  const auto code = static_cast<uint32_t>(capture.get(cv::CAP_PROP_FOURCC));
  std::string format;
  for (int i = 0; i < 4; ++i) format += static_cast<char>((code >> (8 * i)) & 0xFF);
  auto& log = kit::log::get_logger("tessaline.cameras");
  log.info("camera {}: {}x{} at {} fps, {}", config.index_or_path, static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
           static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)), capture.get(cv::CAP_PROP_FPS), code ? format : "format unknown");
  if (config.fourcc.size() == 4 && code && format != config.fourcc) {
    log.warning("camera {} refused {} and delivers {}: two such cameras may not fit one USB 2 bus", config.index_or_path,
                config.fourcc, format);
  }
}

}  // namespace

Camera::Camera(OpenCVCameraConfig cfg) : config(std::move(cfg)) {}


Camera::~Camera() { disconnect(); }

void Camera::connect() {
  if (running_) return;
  auto source = std::make_unique<Source>();
  const std::string& what = config.index_or_path;
  if (what.rfind(kVirtual, 0) == 0) {
    try {
      source->virtual_camera = std::make_unique<FrameFileReader>(what.substr(kVirtual.size()));
    } catch (const std::exception& e) {
      throw CameraUnavailable(std::string("camera ") + what + ": " + e.what());
    }
  } else {
    const bool index = !what.empty() && std::all_of(what.begin(), what.end(), ::isdigit);
    const bool opened = index ? source->capture.open(std::stoi(what), cv::CAP_V4L2) : source->capture.open(what);
    if (!opened) throw CameraUnavailable("cannot open camera " + what);
    const bool device = index || what.rfind("/dev/", 0) == 0;  // not a video file
    if (device && config.fourcc.size() == 4) {
      const auto& f = config.fourcc;
      source->capture.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(f[0], f[1], f[2], f[3]));
    }
    source->capture.set(cv::CAP_PROP_FRAME_WIDTH, config.width);
    source->capture.set(cv::CAP_PROP_FRAME_HEIGHT, config.height);
    source->capture.set(cv::CAP_PROP_FPS, config.fps);
    if (device) say_what_it_delivers(config, source->capture);
  }
  source_ = std::move(source);
  running_ = true;
  thread_ = std::thread([this] { run(); });
}

void Camera::disconnect() {
  if (!running_.exchange(false)) return;
  if (thread_.joinable()) thread_.join();
  source_.reset();
}

void Camera::run() {
  const auto period = std::chrono::microseconds(1'000'000 / std::max(config.fps, 1));
  cv::Mat bgr, rgb;
  while (running_) {
    kit::NdArray frame;
    bool got = false;
    if (source_->virtual_camera) {
      got = source_->virtual_camera->read_if_new(frame, source_->seen);
      if (!got) std::this_thread::sleep_for(period / 4);
    } else if (source_->capture.read(bgr) && !bgr.empty()) {
      cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
      frame = kit::NdArray(kit::DType::uint8, {static_cast<size_t>(rgb.rows), static_cast<size_t>(rgb.cols), 3});
      for (int y = 0; y < rgb.rows; ++y) {
        std::memcpy(frame.mutable_data() + static_cast<size_t>(y) * rgb.cols * 3, rgb.ptr(y),
                    static_cast<size_t>(rgb.cols) * 3);
      }
      got = true;
    } else {
      std::this_thread::sleep_for(period);
    }
    if (got) {
      latest_.store(std::make_shared<const kit::NdArray>(std::move(frame)));
      latest_at_ns_ = Clock::now().time_since_epoch().count();
      ++frames_;
    }
  }
}

kit::NdArray Camera::read_latest(std::chrono::milliseconds stale_after) const {
  const auto frame = latest_.load();
  if (!frame) throw CameraError("camera " + config.index_or_path + " has not delivered a frame yet");
  const auto age = Clock::now() - Clock::time_point(Clock::duration(latest_at_ns_.load()));
  if (age > stale_after) {
    throw CameraError("camera " + config.index_or_path + " stopped delivering frames " +
                      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(age).count()) + " ms ago");
  }
  const uint64_t delivered = frames_.load();
  if (given_.exchange(delivered) == delivered) ++repeated_;
  return *frame;
}

}  // namespace armkit
