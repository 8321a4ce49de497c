#include "studio/datasets/video_cut.hpp"

#include <algorithm>
#include <thread>

#include "kit/video/mp4_joiner.hpp"
#include "kit/video/mp4_reader.hpp"
#include "kit/video/mp4_writer.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;

namespace {

// Encoding again costs the kept frames a little quality: only for files
// whose episodes do not start on a key frame.
void cut_by_encoding(const fs::path& from, const fs::path& to, long skip, long count, const Json& feature_info, int fps) {
  kit::video::Mp4Reader reader(from);
  kit::video::VideoOptions options;
  options.width = reader.width();
  options.height = reader.height();
  options.fps = fps;
  options.codec = feature_info.value("video.codec", "av1");
  options.gop = feature_info.value("video.g", 2);
  options.crf = feature_info.value("video.crf", 30);
  if (feature_info.contains("video.preset") && feature_info["video.preset"].is_number_integer()) options.preset = feature_info["video.preset"];
  options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  kit::video::Mp4Writer writer(to, options);
  kit::video::Yuv420Frame frame;
  for (long k = 0; reader.next(frame); ++k) {
    if (k >= skip && k < skip + count) continue;
    const uint8_t* planes[3] = {frame.planes[0].data(), frame.planes[1].data(), frame.planes[2].data()};
    writer.add_yuv420(planes, frame.strides);
  }
  writer.close();
}

}  // namespace

void cut_video(const fs::path& from, const fs::path& to, long skip, long count, const Json& feature_info, int fps, CutBy how) {
  if (how == CutBy::copying_when_clean && kit::video::Mp4Joiner::cuts_cleanly(from, skip, count)) {
    kit::video::Mp4Joiner copy(to, fps);
    copy.append(from, skip, count);
    copy.close();
    return;
  }
  cut_by_encoding(from, to, skip, count, feature_info, fps);
}

}  // namespace studio
