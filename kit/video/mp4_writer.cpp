#include "kit/video/mp4_writer.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "kit/video/av_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace kit::video {
namespace {

void check(int code, const std::string& what) {
  if (code < 0) throw VideoError(what + ": " + av_text(code));
}


// SVT-AV1 sets itself up and tears itself down unsafely when two encoders
// do so at once (as the cameras' encoders of an episode do).
std::mutex& encoder_setup() {
  static std::mutex m;
  return m;
}

// The libraries' chatter (encoder banners, muxer notes) stays off the
// studio's output; errors still come through our exceptions.
void quiet_libraries() {
  static const bool once = [] {
    setenv("SVT_LOG", "1", 0);  // SVT-AV1: errors only, unless the user asked for more
    av_log_set_level(AV_LOG_ERROR);
    return true;
  }();
  (void)once;
}

// The threads of this process by id.
std::set<pid_t> process_threads() {
  std::set<pid_t> ids;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    ids.insert(static_cast<pid_t>(std::atoi(e.path().filename().c_str())));
  }
  return ids;
}

// SVT-AV1 raises itself to real-time priority when it may (as root): the
// thread that opens it and the threads it starts would starve the robot's
// loop, the live video and the studio. They get the opening thread's own
// scheduling back (normal, or idle for encoding while recording).
class KeepScheduling {
 public:
  KeepScheduling()
      : policy_(sched_getscheduler(0)), nice_(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()))), before_(process_threads()) {
    sched_getparam(0, &param_);
  }
  ~KeepScheduling() {
    if (policy_ < 0) return;
    sched_setscheduler(0, policy_, &param_);
    for (const pid_t id : process_threads()) {
      if (before_.count(id)) continue;
      const int theirs = sched_getscheduler(id);
      if (theirs != SCHED_FIFO && theirs != SCHED_RR) continue;
      sched_setscheduler(id, policy_, &param_);
      setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice_);
    }
  }
  KeepScheduling(const KeepScheduling&) = delete;
  KeepScheduling& operator=(const KeepScheduling&) = delete;

 private:
  int policy_;
  int nice_;
  sched_param param_{};
  std::set<pid_t> before_;
};

}  // namespace

struct Mp4Writer::State {
  std::filesystem::path path;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  SwsContext* scale = nullptr;
  SwsContext* enlarge = nullptr;  // pictures smaller than the video, scaled up to it
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  bool header_written = false;
  bool closed = false;
  bool end_sent = false;
  bool frame_sent = false;

  ~State() {
    // An encoder freed before it was ended and drained waits for ever
    // (SVT-AV1 does, and so does one ended before its first frame): give it
    // a frame if it had none, end it, and drop what it still holds.
    if (codec && avcodec_is_open(codec) && packet && frame && frame->buf[0]) {
      if (!end_sent) {
        if (!frame_sent) {
          av_frame_make_writable(frame);
          frame->pts = 0;
          avcodec_send_frame(codec, frame);
        }
        avcodec_send_frame(codec, nullptr);
      }
      while (avcodec_receive_packet(codec, packet) >= 0) av_packet_unref(packet);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    sws_freeContext(scale);
    sws_freeContext(enlarge);
    {
      std::lock_guard lock(encoder_setup());
      avcodec_free_context(&codec);
    }
    if (format) {
      if (format->pb) avio_closep(&format->pb);
      avformat_free_context(format);
    }
  }

  // Sends a frame (or the end, for nullptr) and writes what comes out.
  void encode(AVFrame* input) {
    check(avcodec_send_frame(codec, input), "cannot encode a frame of " + path.string());
    end_sent = input == nullptr;
    frame_sent = frame_sent || input != nullptr;
    for (;;) {
      const int got = avcodec_receive_packet(codec, packet);
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
      check(got, "encoding " + path.string());
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      check(av_interleaved_write_frame(format, packet), "cannot write " + path.string());
    }
  }
};

Mp4Writer::Mp4Writer(const std::filesystem::path& path, const VideoOptions& o) : state_(std::make_unique<State>()) {
  quiet_libraries();
  State& s = *state_;
  s.path = path;
  if (o.width < 64 || o.height < 64 || o.width % 2 || o.height % 2) {
    throw VideoError("video frames must be even-sized and at least 64x64, not " + std::to_string(o.width) + "x" +
                     std::to_string(o.height));
  }
  if (o.fps < 1 || o.fps > 1000) throw VideoError("unusable frame rate " + std::to_string(o.fps));
  const char* encoder_name = o.codec == "av1" ? "libsvtav1" : o.codec == "h264" ? "libx264" : nullptr;
  if (!encoder_name) throw VideoError("unknown video codec '" + o.codec + "' (av1 or h264)");
  const AVCodec* encoder = avcodec_find_encoder_by_name(encoder_name);
  if (!encoder) throw VideoError(std::string("this libavcodec has no ") + encoder_name + " encoder");

  check(avformat_alloc_output_context2(&s.format, nullptr, "mp4", path.c_str()), "cannot start " + path.string());
  s.stream = avformat_new_stream(s.format, nullptr);
  s.codec = avcodec_alloc_context3(encoder);
  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  if (!s.stream || !s.codec || !s.frame || !s.packet) throw VideoError("out of memory starting " + path.string());

  s.codec->width = o.width;
  s.codec->height = o.height;
  s.codec->pix_fmt = AV_PIX_FMT_YUV420P;
  s.codec->time_base = AVRational{1, o.fps};
  s.codec->framerate = AVRational{o.fps, 1};
  s.codec->gop_size = o.gop;
  s.codec->max_b_frames = 0;  // presentation order is coding order: pts k is frame k
  if (s.format->oformat->flags & AVFMT_GLOBALHEADER) s.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set_int(s.codec->priv_data, "crf", o.crf, 0);
  if (o.codec == "av1") av_opt_set_int(s.codec->priv_data, "preset", o.preset, 0);
  if (o.threads > 0) {
    if (o.codec == "av1") {
      av_opt_set(s.codec->priv_data, "svtav1-params", ("lp=" + std::to_string(o.threads)).c_str(), 0);
    } else {
      s.codec->thread_count = o.threads;
    }
  }
  s.frame->format = AV_PIX_FMT_YUV420P;
  s.frame->width = o.width;
  s.frame->height = o.height;
  check(av_frame_get_buffer(s.frame, 0), "out of memory for a frame");
  s.scale = sws_getContext(o.width, o.height, AV_PIX_FMT_RGB24, o.width, o.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                           nullptr, nullptr, nullptr);
  if (!s.scale) throw VideoError("cannot convert RGB to yuv420p");
  check(avio_open(&s.format->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot create " + path.string());

  {
    std::lock_guard lock(encoder_setup());
    int opened = 0;
    {
      const KeepScheduling keep;
      opened = avcodec_open2(s.codec, encoder, nullptr);
    }
    check(opened, std::string("cannot open the ") + encoder_name + " encoder");
  }
  check(avcodec_parameters_from_context(s.stream->codecpar, s.codec), "cannot describe the video stream");
  s.stream->time_base = AVRational{1, o.fps * kTicksPerFrame};
  s.stream->avg_frame_rate = AVRational{o.fps, 1};
  AVDictionary* muxer = nullptr;
  av_dict_set_int(&muxer, "video_track_timescale", o.fps * kTicksPerFrame, 0);
  av_dict_set(&muxer, "movflags", "+faststart", 0);  // the index first: players can start at once
  const int header = avformat_write_header(s.format, &muxer);
  av_dict_free(&muxer);
  check(header, "cannot write the header of " + path.string());
  s.header_written = true;
}

std::pair<int, int> encodable_size(int width, int height) {
  constexpr int kSmallest = 64;
  if (width <= 0 || height <= 0) throw VideoError("a picture of " + std::to_string(width) + "x" + std::to_string(height) + " has no pixels");
  if (width >= kSmallest && height >= kSmallest) return {width & ~1, height & ~1};
  // Scaled up, keeping its shape, until its shorter side takes the smallest size.
  const double factor = std::max(static_cast<double>(kSmallest) / width, static_cast<double>(kSmallest) / height);
  const auto even_up = [](double side) {
    const int n = static_cast<int>(std::ceil(side - 1e-9));
    return n + (n & 1);
  };
  return {std::max(kSmallest, even_up(width * factor)), std::max(kSmallest, even_up(height * factor))};
}

EncoderSettings encoder_settings(const VideoOptions& o) {
  // libx264 runs at its default preset; libsvtav1 at the numbered one set.
  return {o.gop, o.crf, o.codec == "h264" ? "medium" : std::to_string(o.preset)};
}

Mp4Writer::~Mp4Writer() {
  if (state_ && state_->header_written && !state_->closed) {
    try {
      close();
    } catch (const VideoError&) {
      // A writer dropped on an error path: the file is incomplete anyway.
    }
  }
}

int Mp4Writer::timescale() const { return state_->stream->time_base.den; }

void Mp4Writer::add_rgb(const uint8_t* rgb, int stride, int source_width, int source_height) {
  State& s = *state_;
  if (s.closed) throw VideoError(s.path.string() + " is closed");
  const int width = s.codec->width, height = s.codec->height;
  if (source_width <= 0) source_width = width;
  if (source_height <= 0) source_height = height;
  if (source_width < width || source_height < height) {
    // A picture under the smallest size the encoder takes: scaled up whole.
    s.enlarge = sws_getCachedContext(s.enlarge, source_width, source_height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!s.enlarge) throw VideoError("cannot scale a " + std::to_string(source_width) + "x" + std::to_string(source_height) + " picture");
    check(av_frame_make_writable(s.frame), "frame buffer");
    const uint8_t* planes[1] = {rgb};
    const int strides[1] = {stride};
    sws_scale(s.enlarge, planes, strides, 0, source_height, s.frame->data, s.frame->linesize);
    s.frame->pts = frames_;
    s.encode(s.frame);
    ++frames_;
    return;
  }
  std::vector<uint8_t> fitted;
  if (source_width != width || source_height != height) {
    // An odd side's last column or row is left out.
    fitted.assign(static_cast<size_t>(width) * height * 3, 0);
    const int rows = std::min(height, source_height), bytes = std::min(width, source_width) * 3;
    for (int y = 0; y < rows; ++y) {
      std::memcpy(&fitted[static_cast<size_t>(y) * width * 3], rgb + static_cast<ptrdiff_t>(y) * stride, static_cast<size_t>(bytes));
    }
    rgb = fitted.data();
    stride = width * 3;
  }
  check(av_frame_make_writable(s.frame), "frame buffer");
  const uint8_t* planes[1] = {rgb};
  const int strides[1] = {stride};
  sws_scale(s.scale, planes, strides, 0, height, s.frame->data, s.frame->linesize);
  s.frame->pts = frames_;
  s.encode(s.frame);
  ++frames_;
}

void Mp4Writer::add_jpeg_yuv420(const uint8_t* const planes[3], const int strides[3], int source_width, int source_height) {
  // Full range to video range: Y 0–255 → 16–235, Cb/Cr 0–255 → 16–240 around 128.
  static const auto levels = [] {
    std::array<std::array<uint8_t, 256>, 2> lut{};
    for (int v = 0; v < 256; ++v) {
      lut[0][v] = static_cast<uint8_t>(16 + (v * 219 + 127) / 255);
      lut[1][v] = static_cast<uint8_t>(128 + static_cast<int>(std::lround((v - 128) * 224.0 / 255.0)));
    }
    return lut;
  }();
  State& s = *state_;
  if (s.closed) throw VideoError(s.path.string() + " is closed");
  if (source_width <= 0) source_width = s.codec->width;
  if (source_height <= 0) source_height = s.codec->height;
  check(av_frame_make_writable(s.frame), "frame buffer");
  if (source_width < s.codec->width || source_height < s.codec->height) {
    // A picture under the smallest size the encoder takes: scaled up whole
    // (plane by plane, the range as it is), then to video range below.
    s.enlarge = sws_getCachedContext(s.enlarge, source_width, source_height, AV_PIX_FMT_YUV420P, s.codec->width, s.codec->height,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!s.enlarge) throw VideoError("cannot scale a " + std::to_string(source_width) + "x" + std::to_string(source_height) + " picture");
    sws_scale(s.enlarge, planes, strides, 0, source_height, s.frame->data, s.frame->linesize);
    for (int p = 0; p < 3; ++p) {
      const int width = p == 0 ? s.codec->width : (s.codec->width + 1) / 2;
      const int height = p == 0 ? s.codec->height : (s.codec->height + 1) / 2;
      const auto& lut = levels[p == 0 ? 0 : 1];
      for (int y = 0; y < height; ++y) {
        uint8_t* row = s.frame->data[p] + static_cast<ptrdiff_t>(y) * s.frame->linesize[p];
        for (int x = 0; x < width; ++x) row[x] = lut[row[x]];
      }
    }
  } else {
    // An odd side's last column or row is left out.
    for (int p = 0; p < 3; ++p) {
      const int width = p == 0 ? s.codec->width : (s.codec->width + 1) / 2;
      const int height = p == 0 ? s.codec->height : (s.codec->height + 1) / 2;
      const auto& lut = levels[p == 0 ? 0 : 1];
      for (int y = 0; y < height; ++y) {
        uint8_t* to = s.frame->data[p] + static_cast<ptrdiff_t>(y) * s.frame->linesize[p];
        const uint8_t* from = planes[p] + static_cast<ptrdiff_t>(y) * strides[p];
        for (int x = 0; x < width; ++x) to[x] = lut[from[x]];
      }
    }
  }
  s.frame->pts = frames_;
  s.encode(s.frame);
  ++frames_;
}

void Mp4Writer::add_yuv420(const uint8_t* const planes[3], const int strides[3]) {
  State& s = *state_;
  if (s.closed) throw VideoError(s.path.string() + " is closed");
  check(av_frame_make_writable(s.frame), "frame buffer");
  for (int p = 0; p < 3; ++p) {
    const int width = p == 0 ? s.codec->width : (s.codec->width + 1) / 2;
    const int height = p == 0 ? s.codec->height : (s.codec->height + 1) / 2;
    for (int y = 0; y < height; ++y) {
      std::memcpy(s.frame->data[p] + static_cast<ptrdiff_t>(y) * s.frame->linesize[p],
                  planes[p] + static_cast<ptrdiff_t>(y) * strides[p], static_cast<size_t>(width));
    }
  }
  s.frame->pts = frames_;
  s.encode(s.frame);
  ++frames_;
}

void Mp4Writer::close() {
  State& s = *state_;
  if (s.closed) return;
  s.closed = true;
  if (s.frame_sent) s.encode(nullptr);  // an encoder ended before any frame may never return (SVT-AV1)
  check(av_write_trailer(s.format), "cannot finish " + s.path.string());
  check(avio_closep(&s.format->pb), "cannot close " + s.path.string());
}

int64_t Mp4Writer::bytes() const {
  return state_->format && state_->format->pb ? avio_tell(state_->format->pb) : 0;
}

}  // namespace kit::video
