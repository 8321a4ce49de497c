#include "kit/video/video_probe.hpp"

#include <algorithm>

#include "kit/video/av_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace kit::video {

VideoProbe probe_video(const std::filesystem::path& path) {
  AVFormatContext* format = nullptr;
  if (const int code = avformat_open_input(&format, path.c_str(), nullptr, nullptr); code < 0) {
    throw VideoError("cannot open " + path.string() + ": " + av_text(code));
  }
  struct Closer {
    AVFormatContext*& f;
    ~Closer() { avformat_close_input(&f); }
  } closer{format};
  if (avformat_find_stream_info(format, nullptr) < 0) throw VideoError(path.string() + " holds no readable stream");
  const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) throw VideoError(path.string() + " holds no video");
  const AVStream* s = format->streams[stream];
  VideoProbe probe;
  probe.codec = avcodec_get_name(s->codecpar->codec_id);
  const char* pixels = av_get_pix_fmt_name(static_cast<AVPixelFormat>(s->codecpar->format));
  probe.pixel_format = pixels ? pixels : "";
  probe.width = s->codecpar->width;
  probe.height = s->codecpar->height;
  probe.rate_num = s->r_frame_rate.num;
  probe.rate_den = s->r_frame_rate.den ? s->r_frame_rate.den : 1;
  AVPacket* packet = av_packet_alloc();
  if (!packet) throw VideoError("out of memory reading " + path.string());
  const double tick = av_q2d(s->time_base);
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == stream) {
      const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      probe.frame_times.push_back(static_cast<double>(pts) * tick);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  std::sort(probe.frame_times.begin(), probe.frame_times.end());
  return probe;
}

}  // namespace kit::video
