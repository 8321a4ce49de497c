#include "kit/video/mp4_joiner.hpp"

#include <cstring>

#include "kit/video/av_text.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kit::video {
namespace {

void check(int code, const std::string& what) {
  if (code < 0) throw VideoError(what + ": " + av_text(code));
}

// A part opened for reading, closed on every path.
struct Part {
  AVFormatContext* format = nullptr;
  int stream = -1;

  explicit Part(const std::filesystem::path& path) {
    check(avformat_open_input(&format, path.c_str(), nullptr, nullptr), "cannot open " + path.string());
    if (avformat_find_stream_info(format, nullptr) < 0) {
      avformat_close_input(&format);
      throw VideoError(path.string() + " holds no readable stream");
    }
    stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
      avformat_close_input(&format);
      throw VideoError(path.string() + " holds no video");
    }
  }
  ~Part() { avformat_close_input(&format); }
  Part(const Part&) = delete;
  Part& operator=(const Part&) = delete;

  const AVCodecParameters* params() const { return format->streams[stream]->codecpar; }
};

bool same_stream(const AVCodecParameters* a, const AVCodecParameters* b) {
  return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height && a->format == b->format &&
         a->extradata_size == b->extradata_size &&
         (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata, static_cast<size_t>(a->extradata_size)) == 0);
}

}  // namespace

struct Mp4Joiner::State {
  std::filesystem::path path;
  int fps = 0;
  AVFormatContext* format = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  bool closed = false;

  ~State() {
    av_packet_free(&packet);
    if (format) {
      if (format->pb) avio_closep(&format->pb);
      avformat_free_context(format);
    }
  }

  // The file and its one stream, described as the first part's.
  void start(const AVCodecParameters* params) {
    check(avformat_alloc_output_context2(&format, nullptr, "mp4", path.c_str()), "cannot start " + path.string());
    stream = avformat_new_stream(format, nullptr);
    if (!stream) throw VideoError("out of memory starting " + path.string());
    check(avcodec_parameters_copy(stream->codecpar, params), "cannot describe the video of " + path.string());
    stream->codecpar->codec_tag = 0;
    stream->time_base = AVRational{1, fps * kTicksPerFrame};
    stream->avg_frame_rate = AVRational{fps, 1};
    check(avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot create " + path.string());
    AVDictionary* muxer = nullptr;
    av_dict_set_int(&muxer, "video_track_timescale", fps * kTicksPerFrame, 0);
    av_dict_set(&muxer, "movflags", "+faststart", 0);
    const int header = avformat_write_header(format, &muxer);
    av_dict_free(&muxer);
    check(header, "cannot write the header of " + path.string());
  }
};

Mp4Joiner::Mp4Joiner(std::filesystem::path path, int fps) : state_(std::make_unique<State>()) {
  if (fps < 1 || fps > 1000) throw VideoError("unusable frame rate " + std::to_string(fps));
  state_->path = std::move(path);
  state_->fps = fps;
  state_->packet = av_packet_alloc();
  if (!state_->packet) throw VideoError("out of memory");
}

// Dropped without close() only on an error path: the file is incomplete
// anyway, and a muxer that failed mid-write must not be finished.
Mp4Joiner::~Mp4Joiner() = default;

bool Mp4Joiner::takes(const std::filesystem::path& part) const {
  if (!state_->stream) return true;
  const Part in(part);
  return same_stream(in.params(), state_->stream->codecpar);
}

long Mp4Joiner::append(const std::filesystem::path& part, long skip, long drop) {
  State& s = *state_;
  if (s.closed) throw VideoError(s.path.string() + " is closed");
  Part in(part);
  if (!s.stream) {
    s.start(in.params());
  } else if (!same_stream(in.params(), s.stream->codecpar)) {
    throw VideoError(part.string() + " was encoded otherwise than the video it would join");
  }
  const AVRational in_base = in.format->streams[in.stream]->time_base;
  const AVRational frame = AVRational{1, s.fps};
  // Frame k of the part lands at frame frames_ + k of the file, or drop
  // frames earlier when it comes after the frames left out.
  const auto place = [&](int64_t k) { return frames_ + (k >= skip + drop ? k - drop : k); };
  long count = 0;
  int64_t first = AV_NOPTS_VALUE;
  for (;;) {
    const int got = av_read_frame(in.format, s.packet);
    if (got == AVERROR_EOF) break;
    check(got, "cannot read " + part.string());
    if (s.packet->stream_index != in.stream) {
      av_packet_unref(s.packet);
      continue;
    }
    const int64_t at = s.packet->pts == AV_NOPTS_VALUE ? s.packet->dts : s.packet->pts;
    if (first == AV_NOPTS_VALUE) first = at;
    const int64_t k = av_rescale_q(at - first, in_base, frame);
    const int64_t decode_k = av_rescale_q(s.packet->dts - first, in_base, frame);
    if (k >= skip && k < skip + drop) {
      av_packet_unref(s.packet);
      continue;
    }
    if ((count == 0 || k == skip + drop) && !(s.packet->flags & AV_PKT_FLAG_KEY)) {
      av_packet_unref(s.packet);
      throw VideoError(part.string() + ": frame " + std::to_string(k) + " would start the copy but is no key frame");
    }
    s.packet->pts = place(k) * kTicksPerFrame;
    s.packet->dts = place(decode_k) * kTicksPerFrame;
    s.packet->duration = kTicksPerFrame;
    s.packet->stream_index = s.stream->index;
    s.packet->pos = -1;
    check(av_interleaved_write_frame(s.format, s.packet), "cannot write " + s.path.string());
    ++count;
  }
  frames_ += count;
  return count;
}

bool Mp4Joiner::cuts_cleanly(const std::filesystem::path& part, long skip, long drop) {
  Part in(part);
  AVPacket* packet = av_packet_alloc();
  if (!packet) throw VideoError("out of memory");
  bool clean = true;
  for (long k = 0; av_read_frame(in.format, packet) >= 0;) {
    if (packet->stream_index == in.stream) {
      // Frames in order (no B-frames: one packet a frame), the copy's starts on key frames.
      const bool key = packet->flags & AV_PKT_FLAG_KEY;
      if (packet->pts != packet->dts || ((k == 0 || k == skip + drop) && !key)) clean = false;
      ++k;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  return clean;
}

int64_t Mp4Joiner::bytes() const { return state_->format && state_->format->pb ? avio_tell(state_->format->pb) : 0; }

void Mp4Joiner::close() {
  State& s = *state_;
  if (s.closed) return;
  if (!s.format) throw VideoError(s.path.string() + " has no video to write");
  s.closed = true;
  check(av_write_trailer(s.format), "cannot finish " + s.path.string());
  check(avio_closep(&s.format->pb), "cannot close " + s.path.string());
}

}  // namespace kit::video
