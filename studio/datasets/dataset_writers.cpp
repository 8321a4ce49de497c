#include "studio/datasets/dataset_writers.hpp"

#include <algorithm>

#include "studio/datasets/dataset_stats.hpp"

namespace studio {
namespace fs = std::filesystem;
using kit::parquet::Physical;

const std::vector<std::string> kIndexFeatures = {"timestamp", "frame_index", "episode_index", "index", "task_index"};

namespace {

const std::vector<std::pair<std::string, std::string>> kTableKeyValues;

std::vector<kit::parquet::ColumnSpec> data_columns() {
  return {{"action", Physical::FLOAT, 1}, {"observation.state", Physical::FLOAT, 1}, {"timestamp", Physical::FLOAT},
          {"frame_index", Physical::INT64}, {"episode_index", Physical::INT64},     {"index", Physical::INT64},
          {"task_index", Physical::INT64}};
}

std::vector<kit::parquet::ColumnSpec> episode_columns(const std::vector<std::string>& cameras) {
  std::vector<kit::parquet::ColumnSpec> meta = {{"episode_index", Physical::INT64},     {"tasks", Physical::STRING, 1},
                                                {"length", Physical::INT64},            {"data/chunk_index", Physical::INT64},
                                                {"data/file_index", Physical::INT64},   {"dataset_from_index", Physical::INT64},
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
  return meta;
}

}  // namespace

DatasetWriters::DatasetWriters(DatasetChange& change, const fs::path& dataset, const ExportLayout& layout)
    : change_(change),
      layout_(layout),
      data_columns_(data_columns()),
      episode_columns_(episode_columns(layout.cameras)),
      data_slot_(first_free_slot(dataset / "data")),
      episodes_slot_(first_free_slot(dataset / "meta" / "episodes")) {
  data_.emplace(data_columns_, kTableKeyValues, kTableCompression);
  episodes_.emplace(episode_columns_, kTableKeyValues, kTableCompression);
  for (const auto& key : layout.cameras) {
    video_slot_[key] = first_free_slot(dataset / "videos" / key);
    open_video(key);
  }
}

// A table file that would pass the limit with `rows` more rows is written and the next one started.
void DatasetWriters::roll_table(std::optional<kit::parquet::Writer>& table, FileSlot& slot, const char* kind,
                                const std::vector<kit::parquet::ColumnSpec>& columns, long rows) {
  const int64_t row_bytes = table->rows() ? static_cast<int64_t>(table->bytes() / table->rows()) : 0;
  if (!file_full(static_cast<int64_t>(table->bytes()), rows * row_bytes, layout_.data_limit)) return;
  change_.write(slot.path(kind, ".parquet"), table->finish());
  table.emplace(columns, kTableKeyValues, kTableCompression);
  slot = slot.next();
}

void DatasetWriters::open_video(const std::string& key) {
  videos_[key] = std::make_unique<kit::video::Mp4Joiner>(change_.file(video_slot_[key].path("videos/" + key, ".mp4")), layout_.fps);
}

void DatasetWriters::make_room(long length, const std::map<std::string, fs::path>& episode_videos) {
  roll_table(data_, data_slot_, "data", data_columns_, length);
  for (const auto& key : layout_.cameras) {
    if (file_full(videos_[key]->bytes(), static_cast<int64_t>(video_bytes_per_frame_[key] * length), layout_.video_limit) ||
        !videos_[key]->takes(episode_videos.at(key))) {
      videos_[key]->close();
      video_slot_[key] = video_slot_[key].next();
      open_video(key);
    }
    video_bytes_before_[key] = videos_[key]->bytes();
  }
}

void DatasetWriters::make_room_for_episode_row() { roll_table(episodes_, episodes_slot_, "meta/episodes", episode_columns_, 1); }

void DatasetWriters::add_videos(long length, const std::map<std::string, fs::path>& episode_videos) {
  for (const auto& key : layout_.cameras) {
    if (videos_[key]->append(episode_videos.at(key)) != length) {
      throw std::runtime_error("the encoded video of " + key + " does not hold the episode's " + std::to_string(length) + " frames");
    }
    video_bytes_per_frame_[key] = static_cast<double>(videos_[key]->bytes() - video_bytes_before_[key]) / length;
  }
}

void DatasetWriters::finish() {
  for (auto& [key, writer] : videos_) writer->close();
  change_.write(data_slot_.path("data", ".parquet"), data_->finish());
  change_.write(episodes_slot_.path("meta/episodes", ".parquet"), episodes_->finish());
}

}  // namespace studio
