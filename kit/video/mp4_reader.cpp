#include "kit/video/mp4_reader.hpp"

#include <cstring>

#include "kit/video/av_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kit::video {
namespace {

// Software decoders: the library's own "av1" decoder needs hardware.
const AVCodec* decoder_for(AVCodecID id) {
  if (id == AV_CODEC_ID_AV1) {
    for (const char* name : {"libdav1d", "libaom-av1"}) {
      if (const AVCodec* c = avcodec_find_decoder_by_name(name)) return c;
    }
    return nullptr;
  }
  return avcodec_find_decoder(id);
}

}  // namespace

struct Mp4Reader::State {
  std::filesystem::path path;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int stream = -1;
  bool draining = false;

  ~State() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
};

Mp4Reader::Mp4Reader(const std::filesystem::path& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  if (const int r = avformat_open_input(&s.format, path.c_str(), nullptr, nullptr); r < 0) {
    throw VideoError("cannot open " + path.string() + ": " + av_text(r));
  }
  if (avformat_find_stream_info(s.format, nullptr) < 0) throw VideoError(path.string() + " holds no readable stream");
  s.stream = av_find_best_stream(s.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (s.stream < 0) throw VideoError(path.string() + " holds no video");
  const AVCodecParameters* params = s.format->streams[s.stream]->codecpar;
  const AVCodec* decoder = decoder_for(params->codec_id);
  if (!decoder) throw VideoError("no decoder for the video of " + path.string());
  s.codec = avcodec_alloc_context3(decoder);
  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  if (!s.codec || !s.frame || !s.packet) throw VideoError("out of memory decoding " + path.string());
  if (avcodec_parameters_to_context(s.codec, params) < 0 || avcodec_open2(s.codec, decoder, nullptr) < 0) {
    throw VideoError("cannot decode the video of " + path.string());
  }
}

Mp4Reader::~Mp4Reader() = default;

int Mp4Reader::width() const { return state_->codec->width; }
int Mp4Reader::height() const { return state_->codec->height; }
std::string Mp4Reader::codec() const { return avcodec_get_name(state_->format->streams[state_->stream]->codecpar->codec_id); }

bool Mp4Reader::next(Yuv420Frame& out) {
  State& s = *state_;
  for (;;) {
    const int got = avcodec_receive_frame(s.codec, s.frame);
    if (got == 0) break;
    if (got == AVERROR_EOF) return false;
    if (got != AVERROR(EAGAIN)) throw VideoError("cannot decode " + s.path.string() + ": " + av_text(got));
    if (s.draining) return false;
    // More input: the next packet of the video stream, or the end.
    for (;;) {
      const int r = av_read_frame(s.format, s.packet);
      if (r < 0) {
        s.draining = true;
        avcodec_send_packet(s.codec, nullptr);
        break;
      }
      const bool ours = s.packet->stream_index == s.stream;
      if (ours) {
        const int sent = avcodec_send_packet(s.codec, s.packet);
        av_packet_unref(s.packet);
        if (sent < 0 && sent != AVERROR(EAGAIN)) throw VideoError("cannot decode " + s.path.string() + ": " + av_text(sent));
        break;
      }
      av_packet_unref(s.packet);
    }
  }
  if (s.frame->format != AV_PIX_FMT_YUV420P) {
    av_frame_unref(s.frame);
    throw VideoError(s.path.string() + " is not yuv420p video");
  }
  out.width = s.frame->width;
  out.height = s.frame->height;
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? out.width : (out.width + 1) / 2;
    const int h = p == 0 ? out.height : (out.height + 1) / 2;
    out.strides[p] = w;
    out.planes[p].resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
      std::memcpy(&out.planes[p][static_cast<size_t>(y) * w], s.frame->data[p] + static_cast<ptrdiff_t>(y) * s.frame->linesize[p],
                  static_cast<size_t>(w));
    }
  }
  av_frame_unref(s.frame);
  return true;
}

}  // namespace kit::video
