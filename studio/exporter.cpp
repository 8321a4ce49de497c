#include "studio/exporter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "kit/files/atomic_file.hpp"
#include "kit/jpeg/jpeg.hpp"
#include "kit/json/text.hpp"
#include "kit/parquet/reader.hpp"
#include "kit/parquet/writer.hpp"
#include "kit/video/mp4_writer.hpp"
#include "studio/dataset_change.hpp"
#include "studio/dataset_files.hpp"
#include "studio/dataset_stats.hpp"
#include "studio/dataset_tasks.hpp"
#include "studio/joint_names.hpp"
#include "studio/logged_frame.hpp"
#include "studio/staged_stream.hpp"
#include "studio/safe_name.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::json::Json;
using kit::parquet::Physical;

namespace {

constexpr const char* kDefaultTask = "teleoperated demonstration";
constexpr int kStatFrames = 100;   // images sampled per episode for their statistics
constexpr int kStatPixels = 150;   // ... at about this many pixels across
const std::vector<std::pair<std::string, std::string>> kTableKeyValues;
const std::vector<std::string> kIndexFeatures = {"timestamp", "frame_index", "episode_index", "index", "task_index"};

// A staged frame without its pictures (read again from its stream when they
// are encoded, so an episode of any length is never in memory at once).
struct StagedFrame {
  LoggedFrame frame;  // images left out: their bytes stay on disk
  size_t stream;
  size_t batch;
};

struct Episode {
  std::vector<std::unique_ptr<StagedStreamReader>> streams;
  std::vector<StagedFrame> frames;
  std::vector<std::tuple<std::string, int, int>> cameras;  // key, width, height, from the first frame
  std::string task;

  std::shared_ptr<kit::flight::RecordBatch> read_batch(const StagedFrame& staged) const {
    return streams.at(staged.stream)->batch(staged.batch);
  }
};

// One staged episode, frames in capture order; every frame checked.
Episode load_episode(const fs::path& dir) {
  Episode e;
  for (const auto& path : staged_stream_files(dir)) {
    e.streams.push_back(std::make_unique<StagedStreamReader>(path));
    const StagedStreamReader& stream = *e.streams.back();
    for (size_t b = 0; b < stream.size(); ++b) {
      const auto batch = stream.batch(b);
      LoggedFrame frame;
      try {
        frame = read_logged_frame(*batch);  // the pictures are views into the batch, dropped below
      } catch (const FrameSchemaError& err) {
        throw std::runtime_error(path.string() + ": " + err.what());
      }
      if (e.frames.empty()) {
        for (const auto& [key, jpeg] : frame.images) {
          const auto [w, h] = kit::jpeg::image_size(jpeg);
          e.cameras.emplace_back(key, w, h);
        }
      }
      frame.images.clear();
      e.frames.push_back({std::move(frame), e.streams.size() - 1, b});
    }
  }
  // Workers may deliver out of order; the capture clock decides.
  std::stable_sort(e.frames.begin(), e.frames.end(), [](const StagedFrame& a, const StagedFrame& b) {
    return a.frame.timestamp.value_or(0) < b.frame.timestamp.value_or(0);
  });
  e.task = fs::exists(dir / "TASK") ? read_file(dir / "TASK") : "";
  if (e.task.empty() || !valid_utf8(e.task)) e.task = kDefaultTask;
  return e;
}

// Pictures of one camera on their way to its encoder: a short queue, so
// the reader waits when the encoder is behind; nothing ends it.
class PictureQueue {
 public:
  void push(std::optional<std::string> jpeg) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.size() < kDepth; });
    queue_.push_back(std::move(jpeg));
    changed_.notify_all();
  }
  std::optional<std::string> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty(); });
    auto jpeg = std::move(queue_.front());
    queue_.pop_front();
    changed_.notify_all();
    return jpeg;
  }

 private:
  static constexpr size_t kDepth = 16;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<std::string>> queue_;
};

// Pixels of sampled frames, per channel, for the image statistics.
struct ImageSampler {
  std::array<std::array<uint64_t, 256>, 3> histograms{};
  int64_t frames = 0;
  void add(const kit::jpeg::DecodedImage& img) {
    const int step = std::max(1, std::max(img.width, img.height) / kStatPixels);
    for (int y = 0; y < img.height; y += step) {
      for (int x = 0; x < img.width; x += step) {
        const uint8_t* p = &img.rgb[(static_cast<size_t>(y) * img.width + x) * 3];
        for (int c = 0; c < 3; ++c) ++histograms[c][p[c]];
      }
    }
    ++frames;
  }
};

Json feature_info(const std::string& dtype, std::vector<size_t> shape, Json names) {
  return {{"dtype", dtype}, {"shape", shape}, {"names", std::move(names)}};
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

// What a job's episodes are, checked frame by frame before anything is
// encoded: one set of cameras of one size each, one length of state and
// action, the robot type and rate the frames or the request tell.
struct JobShape {
  std::vector<std::tuple<std::string, int, int>> cameras;  // key, width, height as captured
  size_t state_dims = 0, action_dims = 0;
  std::string robot_type;
  int fps = 0;
  long episodes = 0;
};

JobShape shape_of(const std::vector<fs::path>& staged, const ExportRequest& request) {
  JobShape shape;
  shape.robot_type = request.robot_type.value_or("");
  shape.fps = request.fps ? static_cast<int>(std::lround(*request.fps)) : 0;
  for (const auto& dir : staged) {
    const Episode ep = load_episode(dir);
    if (ep.frames.empty()) continue;
    const std::string which = "episode " + std::to_string(shape.episodes) + " of this session";
    const LoggedFrame& first = ep.frames.front().frame;
    if (!first.action) throw ExportRefused("the frames carry no action");
    if (shape.episodes == 0) {
      shape.cameras = ep.cameras;
      shape.state_dims = first.state.size();
      shape.action_dims = first.action->size();
    } else if (ep.cameras != shape.cameras) {
      throw ExportRefused(which + " has other cameras, or cameras of another size, than the first");
    }
    for (size_t i = 0; i < ep.frames.size(); ++i) {
      const LoggedFrame& f = ep.frames[i].frame;
      if (f.state.size() != shape.state_dims || !f.action || f.action->size() != shape.action_dims) {
        throw ExportRefused(which + ", frame " + std::to_string(i) + ", has a state or action of another length than the others");
      }
      if (shape.robot_type.empty() && f.robot_type) shape.robot_type = *f.robot_type;
      if (shape.fps <= 0 && f.fps) shape.fps = static_cast<int>(std::lround(*f.fps));
    }
    ++shape.episodes;
  }
  return shape;
}

// How a session differs from the dataset it is to be added to, one item per
// difference. A dataset is one table per kind: a file whose columns, shapes
// or rate differ from the others' makes the whole dataset unreadable.
std::vector<std::string> append_differences(const Json& info, const JobShape& shape, const std::vector<std::string>& state_names,
                                            const std::vector<std::string>& action_names) {
  std::vector<std::string> out;
  const Json& features = info.at("features");
  std::set<std::string> dataset_cameras, session_cameras;
  for (const auto& [key, f] : features.items()) {
    if (f.value("dtype", "") == "video" || f.value("dtype", "") == "image") dataset_cameras.insert(key);
  }
  for (const auto& [key, w, h] : shape.cameras) {
    session_cameras.insert(key);
    if (!dataset_cameras.count(key)) {
      out.push_back("this session has the camera " + key + ", the dataset does not");
      continue;
    }
    const auto [ew, eh] = kit::video::encodable_size(w, h);
    const Json& f = features.at(key);
    const std::vector<size_t> want = f.value("shape", std::vector<size_t>{});
    if (want.size() < 2 || want[0] != static_cast<size_t>(eh) || want[1] != static_cast<size_t>(ew)) {
      out.push_back("the camera " + key + " is " + (want.size() >= 2 ? std::to_string(want[1]) + "x" + std::to_string(want[0]) : "of unknown size") +
                    " in the dataset, " + std::to_string(ew) + "x" + std::to_string(eh) + " in this session");
    }
    const std::string codec = f.value("info", Json::object()).value("video.codec", "");
    if (f.value("dtype", "") != "video" || (codec != "av1" && codec != "h264")) {
      out.push_back("the dataset's camera " + key + " is stored as " + (codec.empty() ? f.value("dtype", "?") : codec) +
                    ", which this studio cannot add to (it writes av1 and h264 videos)");
    }
  }
  for (const auto& key : dataset_cameras) {
    if (!session_cameras.count(key)) out.push_back("the dataset has the camera " + key + ", this session does not");
  }
  auto vector_feature = [&](const char* name, const std::vector<std::string>& names) {
    if (!features.contains(name)) {
      out.push_back(std::string("the dataset has no ") + name);
      return;
    }
    const Json& f = features.at(name);
    const std::vector<size_t> want = f.value("shape", std::vector<size_t>{});
    if (want != std::vector<size_t>{names.size()}) {
      out.push_back(std::string(name) + " has " + (want.size() == 1 ? std::to_string(want[0]) : "another shape of") + " values in the dataset, " +
                    std::to_string(names.size()) + " in this session");
    } else if (f.contains("names") && f["names"].is_array() && f["names"] != Json(names)) {
      out.push_back(std::string(name) + " names its values " + f["names"].dump() + " in the dataset, " + Json(names).dump() + " in this session");
    }
  };
  vector_feature("observation.state", state_names);
  vector_feature("action", action_names);
  if (info.value("fps", 0) != shape.fps) {
    out.push_back("the dataset is at " + std::to_string(info.value("fps", 0)) + " frames/s, this session at " + std::to_string(shape.fps));
  }
  const std::string dataset_robot = info.value("robot_type", "");
  if (!shape.robot_type.empty() && !dataset_robot.empty() && dataset_robot != shape.robot_type) {
    out.push_back("the dataset's robot is a " + dataset_robot + ", this session's a " + shape.robot_type);
  }
  return out;
}

}  // namespace

fs::path dataset_dir(const fs::path& data_dir, const std::string& repo_id) {
  return data_dir / "datasets" / safe_name(repo_id);
}

void recover_exports(const fs::path& data_dir) { recover_dataset_changes(data_dir); }

ExportResult export_dataset(const ExportJob& job, const fs::path& data_dir, const ExportRequest& request,
                            const ExportProgress& progress) {
  ExportResult result;
  result.dataset_dir = dataset_dir(data_dir, request.repo_id);
  const fs::path& dataset = result.dataset_dir;
  std::vector<fs::path> staged;
  for (const auto& e : fs::directory_iterator(job.dir)) {
    if (!e.is_directory()) continue;
    if (fs::exists(e.path() / "INCOMPLETE")) {
      // Frames of an attempt that never ended: kept apart, never in a dataset.
      const fs::path aside = data_dir / "interrupted" / (job.dir.filename().string() + "-" + e.path().filename().string());
      fs::create_directories(aside.parent_path());
      fs::rename(e.path(), aside);
      ++result.episodes_set_aside;
      continue;
    }
    staged.push_back(e.path());
  }
  std::sort(staged.begin(), staged.end());

  // What the dataset holds already.
  const fs::path info_path = dataset / "meta" / "info.json";
  const bool appending = fs::exists(info_path);
  Json info = appending ? Json::parse(read_file(info_path)) : Json();
  Json stats_json = appending && fs::exists(dataset / "meta" / "stats.json")
                        ? Json::parse(read_file(dataset / "meta" / "stats.json"))
                        : Json::object();
  Json sidecar = Json::object();
  if (appending && fs::exists(dataset / "meta" / "tessaline.json")) sidecar = Json::parse(read_file(dataset / "meta" / "tessaline.json"));
  const std::string owner = sidecar.value("user_id", "");
  std::vector<std::string> tasks;
  try {
    if (appending) tasks = read_tasks(dataset, sidecar);
  } catch (const std::exception& e) {
    throw ExportRefused(std::string("the dataset's tasks cannot be read: ") + e.what());
  }
  long next_episode = appending ? info.at("total_episodes").get<long>() : 0;
  long next_index = appending ? info.at("total_frames").get<long>() : 0;

  // Everything is checked before anything is encoded: the episodes agree
  // with each other and, when appending, with the dataset's features.
  JobShape shape = shape_of(staged, request);
  if (shape.robot_type.empty()) shape.robot_type = appending ? info.value("robot_type", "unknown") : "unknown";
  if (shape.fps <= 0) shape.fps = appending ? info.at("fps").get<int>() : 30;
  const auto state_names = joint_names(shape.robot_type, shape.state_dims);
  const auto action_names = joint_names(shape.robot_type, shape.action_dims);
  if (appending && shape.episodes > 0) {
    const auto differences = append_differences(info, shape, state_names, action_names);
    if (!differences.empty()) {
      throw ExportRefused("this session cannot be added to the dataset " + request.repo_id + ": " + joined(differences, "; ") +
                          ". Its episodes are kept: export them to another repository");
    }
  }

  DatasetChange change(dataset);
  {
    std::optional<kit::parquet::Writer> data, episodes;
    std::map<std::string, std::unique_ptr<kit::video::Mp4Writer>> videos;
    std::map<std::string, long> video_frames;                  // frames already in this export's file
    std::vector<std::string> cameras;
    std::map<std::string, std::pair<int, int>> camera_size;
    const std::string& robot_type = shape.robot_type;
    const int fps = shape.fps;
    const size_t state_dims = shape.state_dims, action_dims = shape.action_dims;
    std::map<std::string, std::pair<int, int>> source_size;  // as captured; camera_size: as encoded
    // Files roll over at the dataset's size limits; each export starts new ones.
    const int64_t data_limit = megabytes(std::max(1L, appending ? info.value("data_files_size_in_mb", 100L) : request.data_file_mb));
    const int64_t video_limit = megabytes(std::max(1L, appending ? info.value("video_files_size_in_mb", 200L) : request.video_file_mb));
    FileSlot data_slot = first_free_slot(dataset / "data");
    FileSlot episodes_slot = first_free_slot(dataset / "meta" / "episodes");
    std::map<std::string, FileSlot> video_slot;
    std::map<std::string, double> video_bytes_per_frame;
    std::vector<kit::parquet::ColumnSpec> data_columns, meta_columns;
    // A table file that would pass the limit with `rows` more rows is written and the next one started.
    auto roll_table = [&](std::optional<kit::parquet::Writer>& table, FileSlot& slot, const char* kind,
                          const std::vector<kit::parquet::ColumnSpec>& columns, long rows) {
      const int64_t row_bytes = table->rows() ? static_cast<int64_t>(table->bytes() / table->rows()) : 0;
      if (!file_full(static_cast<int64_t>(table->bytes()), rows * row_bytes, data_limit)) return;
      change.write(slot.path(kind, ".parquet"), table->finish());
      table.emplace(columns, kTableKeyValues, kTableCompression);
      slot = slot.next();
    };
    auto open_video = [&](const std::string& key) {
      kit::video::VideoOptions options;
      options.width = camera_size[key].first;
      options.height = camera_size[key].second;
      options.fps = fps;
      // The cameras are encoded side by side: the cores shared out among them.
      options.threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency() / std::max<size_t>(1, cameras.size())));
      // An existing dataset keeps the codec its videos have.
      options.codec = appending ? info.at("features").at(key).at("info").value("video.codec", request.video_codec)
                                : request.video_codec;
      videos[key] = std::make_unique<kit::video::Mp4Writer>(change.file(video_slot[key].path("videos/" + key, ".mp4")), options);
      video_frames[key] = 0;
    };
    std::map<std::string, std::vector<FeatureStats>> episode_stats;

    long done = 0;
    for (const auto& dir : staged) {
      Episode ep = load_episode(dir);
      if (ep.frames.empty()) continue;  // an episode ended before its first frame: nothing to keep
      if (!data) {
        // The layout was settled, and checked against the dataset, above.
        for (const auto& [key, w, h] : shape.cameras) {
          cameras.push_back(key);
          source_size[key] = {w, h};
          camera_size[key] = kit::video::encodable_size(w, h);  // an odd or tiny picture is cut or filled to fit
        }
        data_columns = {{"action", Physical::FLOAT, 1},
                                                         {"observation.state", Physical::FLOAT, 1},
                                                         {"timestamp", Physical::FLOAT},
                                                         {"frame_index", Physical::INT64},
                                                         {"episode_index", Physical::INT64},
                                                         {"index", Physical::INT64},
                                                         {"task_index", Physical::INT64}};
        data.emplace(data_columns, kTableKeyValues, kTableCompression);
        std::vector<kit::parquet::ColumnSpec>& meta = meta_columns;
        meta = {{"episode_index", Physical::INT64},
                                                      {"tasks", Physical::STRING, 1},
                                                      {"length", Physical::INT64},
                                                      {"data/chunk_index", Physical::INT64},
                                                      {"data/file_index", Physical::INT64},
                                                      {"dataset_from_index", Physical::INT64},
                                                      {"dataset_to_index", Physical::INT64}};
        for (const auto& key : cameras) {
          for (const char* f : {"chunk_index", "file_index"}) meta.push_back({"videos/" + key + "/" + f, Physical::INT64});
          for (const char* f : {"from_timestamp", "to_timestamp"}) meta.push_back({"videos/" + key + "/" + f, Physical::DOUBLE});
        }
        std::vector<std::pair<std::string, int>> stat_features = {{"action", 1}, {"observation.state", 1}};
        for (const auto& key : cameras) stat_features.push_back({key, 3});
        for (const auto& f : kIndexFeatures) stat_features.push_back({f, 1});
        for (const auto& [feature, depth] : stat_features) {
          for (const char* s : {"min", "max", "mean", "std"}) meta.push_back({"stats/" + feature + "/" + s, Physical::DOUBLE, depth});
          meta.push_back({"stats/" + feature + "/count", Physical::INT64, 1});
          for (const char* q : kQuantileNames) meta.push_back({"stats/" + feature + "/" + q, Physical::DOUBLE, depth});
        }
        meta.push_back({"meta/episodes/chunk_index", Physical::INT64});
        meta.push_back({"meta/episodes/file_index", Physical::INT64});
        episodes.emplace(meta, kTableKeyValues, kTableCompression);
        for (const auto& key : cameras) {
          video_slot[key] = first_free_slot(dataset / "videos" / key);
          open_video(key);
        }
      }

      const long episode_index = next_episode++;
      const long length = static_cast<long>(ep.frames.size());
      roll_table(data, data_slot, "data", data_columns, length);
      for (const auto& key : cameras) {
        if (file_full(videos[key]->bytes(), static_cast<int64_t>(video_bytes_per_frame[key] * length), video_limit)) {
          videos[key]->close();
          video_slot[key] = video_slot[key].next();
          open_video(key);
        }
      }
      std::map<std::string, int64_t> video_bytes_before;
      for (const auto& key : cameras) video_bytes_before[key] = videos[key]->bytes();
      auto task_at = std::find(tasks.begin(), tasks.end(), ep.task);
      if (task_at == tasks.end()) task_at = tasks.insert(tasks.end(), ep.task);
      const long task_index = task_at - tasks.begin();
      const long from_index = next_index;
      std::vector<std::vector<double>> actions, states, indices;
      std::map<std::string, ImageSampler> samplers;
      const long sample_every = std::max<long>(1, (length + kStatFrames - 1) / kStatFrames);
      for (long i = 0; i < length; ++i) {
        const LoggedFrame& f = ep.frames[static_cast<size_t>(i)].frame;
        if (f.state.size() != state_dims || !f.action || f.action->size() != action_dims) {
          throw std::runtime_error("episode " + std::to_string(episode_index) + " frame " + std::to_string(i) +
                                   " has state or action of another length than the others");
        }
        const std::vector<float> action(f.action->begin(), f.action->end()), state(f.state.begin(), f.state.end());
        const float timestamp = static_cast<float>(static_cast<double>(i) / fps);
        data->add_list(0, std::span<const float>(action));
        data->add_list(1, std::span<const float>(state));
        data->add(2, timestamp);
        data->add(3, int64_t{i});
        data->add(4, int64_t{episode_index});
        data->add(5, int64_t{next_index});
        data->add(6, int64_t{task_index});
        data->end_row();
        // Statistics of what is stored: the values as float32, not before the cast.
        actions.emplace_back(action.begin(), action.end());
        states.emplace_back(state.begin(), state.end());
        indices.push_back({timestamp, static_cast<double>(i), static_cast<double>(episode_index),
                           static_cast<double>(next_index), static_cast<double>(task_index)});
        ++next_index;
      }
      data->end_row_group();
      // Each camera's pictures are decoded and encoded on a thread of their
      // own; this thread reads every staged frame once, in order, and hands
      // the pictures over through short queues, so memory stays bounded.
      for (const auto& key : cameras) samplers[key];
      std::map<std::string, PictureQueue> queues;
      for (const auto& key : cameras) queues[key];
      std::vector<std::future<void>> encoders;
      for (const auto& key : cameras) {
        encoders.push_back(std::async(std::launch::async, [&, key] {
          auto& video = *videos.at(key);
          auto& sampler = samplers.at(key);
          auto& queue = queues.at(key);
          const auto size = source_size.at(key);
          std::exception_ptr error;
          const auto check_size = [&](int width, int height) {
            if (std::pair{width, height} != size) {
              throw std::runtime_error("the images of " + key + " change size within the recording");
            }
          };
          kit::jpeg::Yuv420Image yuv;
          for (long i = 0;; ++i) {
            const auto jpeg = queue.pop();
            if (!jpeg) break;
            if (error) continue;  // keep taking pictures so the reader never waits on us
            try {
              // A 4:2:0 JPEG (what the robot side sends) goes to the encoder
              // in its own planes, without a round trip through RGB.
              if (kit::jpeg::decode_yuv420(*jpeg, yuv)) {
                check_size(yuv.width, yuv.height);
                const uint8_t* planes[3] = {yuv.y.data(), yuv.cb.data(), yuv.cr.data()};
                const int strides[3] = {yuv.y_stride, yuv.c_stride, yuv.c_stride};
                video.add_jpeg_yuv420(planes, strides, yuv.width, yuv.height);
                if (i % sample_every == 0) sampler.add(kit::jpeg::decode_rgb(*jpeg));
              } else {
                const auto image = kit::jpeg::decode_rgb(*jpeg);
                check_size(image.width, image.height);
                video.add_rgb(image.rgb.data(), image.width * 3, image.width, image.height);
                if (i % sample_every == 0) sampler.add(image);
              }
            } catch (...) {
              error = std::current_exception();
            }
          }
          if (error) std::rethrow_exception(error);
        }));
      }
      std::exception_ptr failure;
      try {
        for (long i = 0; i < length; ++i) {
          const StagedFrame& staged = ep.frames[static_cast<size_t>(i)];
          const auto batch = ep.read_batch(staged);
          const LoggedFrame frame = read_logged_frame(*batch);  // pictures are views into the batch
          for (const auto& key : cameras) {
            const auto it = std::find_if(frame.images.begin(), frame.images.end(), [&](const auto& p) { return p.first == key; });
            if (it == frame.images.end()) {
              throw std::runtime_error("episode " + std::to_string(episode_index) + " frame " + std::to_string(i) +
                                       " has no image of " + key);
            }
            queues.at(key).push(std::string(it->second));
          }
        }
      } catch (...) {
        failure = std::current_exception();
      }
      for (auto& [key, queue] : queues) queue.push(std::nullopt);
      for (auto& e : encoders) {
        try {
          e.get();
        } catch (...) {
          if (!failure) failure = std::current_exception();
        }
      }
      if (failure) std::rethrow_exception(failure);
      for (const auto& key : cameras) {
        video_bytes_per_frame[key] = static_cast<double>(videos[key]->bytes() - video_bytes_before[key]) / length;
      }

      // Per-episode statistics, in the dataset's feature order.
      std::map<std::string, FeatureStats> stats;
      stats["action"] = vector_stats(actions);
      stats["observation.state"] = vector_stats(states);
      for (const auto& key : cameras) stats[key] = image_stats(samplers[key].histograms, samplers[key].frames);
      for (size_t k = 0; k < kIndexFeatures.size(); ++k) {
        std::vector<std::vector<double>> column;
        for (const auto& row : indices) column.push_back({row[k]});
        stats[kIndexFeatures[k]] = vector_stats(column);
      }

      roll_table(episodes, episodes_slot, "meta/episodes", meta_columns, 1);
      size_t c = 0;
      episodes->add(c++, int64_t{episode_index});
      episodes->add_list(c++, std::span<const std::string>(&ep.task, 1));
      episodes->add(c++, int64_t{length});
      episodes->add(c++, int64_t{data_slot.chunk});
      episodes->add(c++, int64_t{data_slot.file});
      episodes->add(c++, int64_t{from_index});
      episodes->add(c++, int64_t{next_index});
      for (const auto& key : cameras) {
        episodes->add(c++, int64_t{video_slot[key].chunk});
        episodes->add(c++, int64_t{video_slot[key].file});
        episodes->add(c++, static_cast<double>(video_frames[key]) / fps);
        episodes->add(c++, static_cast<double>(video_frames[key] + length) / fps);
        video_frames[key] += length;
      }
      std::vector<std::string> feature_order = {"action", "observation.state"};
      feature_order.insert(feature_order.end(), cameras.begin(), cameras.end());
      feature_order.insert(feature_order.end(), kIndexFeatures.begin(), kIndexFeatures.end());
      for (const auto& feature : feature_order) {
        const FeatureStats& s = stats[feature];
        for (const auto* v : {&s.min, &s.max, &s.mean, &s.std}) episodes->add_list(c++, std::span<const double>(*v), s.shape);
        const int64_t count = s.count;
        episodes->add_list(c++, std::span<const int64_t>(&count, 1));
        for (const auto& q : s.quantiles) episodes->add_list(c++, std::span<const double>(q), s.shape);
        episode_stats[feature].push_back(s);
      }
      episodes->add(c++, int64_t{episodes_slot.chunk});
      episodes->add(c++, int64_t{episodes_slot.file});
      episodes->end_row();
      episodes->end_row_group();
      result.frames_added += length;
      ++result.episodes_added;
      if (progress) progress(++done, static_cast<long>(staged.size()));
    }

    if (result.episodes_added > 0) {
      for (auto& [key, writer] : videos) writer->close();
      change.write(data_slot.path("data", ".parquet"), data->finish());
      change.write(episodes_slot.path("meta/episodes", ".parquet"), episodes->finish());

      change.write("meta/tasks.parquet", tasks_table(tasks));

      // Dataset statistics: what was there, merged with the new episodes.
      for (auto& [feature, parts] : episode_stats) {
        if (stats_json.contains(feature)) parts.insert(parts.begin(), stats_from_json(stats_json[feature]));
        stats_json[feature] = to_json(merge(parts));
      }
      change.write("meta/stats.json", stats_json.dump(4));
      // The dataset stays its creator's: an append never changes the owner.
      Json own{{"tasks", tasks}, {"repo_id", request.repo_id}, {"user_id", owner.empty() ? request.user_id : owner}};
      if (sidecar.contains("jobs")) own["jobs"] = sidecar["jobs"];
      if (!request.job_name.empty()) {
        own["jobs"][request.job_name] = {{"episodes", result.episodes_added}, {"frames", result.frames_added}};
      }
      change.write("meta/tessaline.json", kit::json::to_file(own));

      if (!appending) {
        Json features = Json::object();
        features["action"] = feature_info("float32", {action_dims}, action_names);
        features["observation.state"] = feature_info("float32", {state_dims}, state_names);
        for (const auto& key : cameras) {
          const auto [w, h] = camera_size[key];
          Json f = feature_info("video", {static_cast<size_t>(h), static_cast<size_t>(w), 3}, {"height", "width", "channels"});
          kit::video::VideoOptions used;
          used.codec = request.video_codec;
          const auto settings = kit::video::encoder_settings(used);
          f["info"] = {{"video.height", h},
                       {"video.width", w},
                       {"video.codec", request.video_codec},
                       {"video.pix_fmt", "yuv420p"},
                       {"video.fps", fps},
                       {"video.channels", 3},
                       {"has_audio", false},
                       {"video.g", settings.gop},
                       {"video.crf", settings.crf}};
          // Each codec's own settings, as the field's tools read them back to encode again.
          if (request.video_codec == "av1") {
            f["info"]["video.preset"] = std::stoi(settings.preset);
            f["info"]["video.fast_decode"] = 0;
          } else {
            f["info"]["video.preset"] = settings.preset;
          }
          f["info"]["video.video_backend"] = "pyav";
          f["info"]["video.extra_options"] = Json::object();
          f["info"]["is_depth_map"] = false;
          features[key] = f;
        }
        features["timestamp"] = feature_info("float32", {1}, nullptr);
        for (const char* f : {"frame_index", "episode_index", "index", "task_index"}) features[f] = feature_info("int64", {1}, nullptr);
        info = {{"codebase_version", "v3.0"},
                {"robot_type", robot_type},
                {"total_episodes", 0},
                {"total_frames", 0},
                {"total_tasks", 0},
                {"chunks_size", kFilesPerChunk},
                {"data_files_size_in_mb", request.data_file_mb},
                {"video_files_size_in_mb", request.video_file_mb},
                {"fps", fps},
                {"splits", Json::object()},
                {"data_path", "data/chunk-{chunk_index:03d}/file-{file_index:03d}.parquet"},
                {"video_path", cameras.empty() ? Json() : Json("videos/{video_key}/chunk-{chunk_index:03d}/file-{file_index:03d}.mp4")},
                {"features", features}};
      }
      info["total_episodes"] = next_episode;
      info["total_frames"] = next_index;
      info["total_tasks"] = static_cast<long>(tasks.size());
      info["splits"] = {{"train", "0:" + std::to_string(next_episode)}};
      change.write("meta/info.json", info.dump(4));
      change.consume(job.dir);  // its episodes are in: a retry after a crash must not add them again
      change.commit();
    }
  }
  fs::remove_all(job.dir);
  return result;
}

}  // namespace studio
