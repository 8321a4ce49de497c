#pragma once
// The files an export writes into, aside in the dataset's change: the data
// table, the episodes table and one video per camera, joined from the
// episodes' own videos. Each export starts new files; a file that would
// pass the dataset's size limit with the next episode (or whose encoding
// the episode's video does not share) is closed first and the next file
// number taken, so no episode spans two files and each camera numbers its
// files on its own.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/parquet/writer.hpp"
#include "kit/video/mp4_joiner.hpp"
#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_files.hpp"
#include "studio/datasets/export_layout.hpp"

namespace studio {

// Statistics columns come for these, after the cameras.
extern const std::vector<std::string> kIndexFeatures;

class DatasetWriters {
 public:
  DatasetWriters(DatasetChange& change, const std::filesystem::path& dataset, const ExportLayout& layout);

  // Before an episode of `length` frames, with these videos per camera, goes in.
  void make_room(long length, const std::map<std::string, std::filesystem::path>& episode_videos);
  // Before the episode's row goes into the episodes table.
  void make_room_for_episode_row();
  // The episode's videos into the cameras' files (the sizes seen predict the next episode's).
  void add_videos(long length, const std::map<std::string, std::filesystem::path>& episode_videos);

  kit::parquet::Writer& data() { return *data_; }
  kit::parquet::Writer& episodes() { return *episodes_; }
  const FileSlot& data_slot() const { return data_slot_; }
  const FileSlot& episodes_slot() const { return episodes_slot_; }
  const FileSlot& video_slot(const std::string& key) const { return video_slot_.at(key); }
  long video_frames(const std::string& key) const { return videos_.at(key)->frames(); }  // in the camera's current file

  // Closes the videos and writes the tables into the change.
  void finish();

 private:
  void roll_table(std::optional<kit::parquet::Writer>& table, FileSlot& slot, const char* kind,
                  const std::vector<kit::parquet::ColumnSpec>& columns, long rows);
  void open_video(const std::string& key);

  DatasetChange& change_;
  const ExportLayout& layout_;
  std::vector<kit::parquet::ColumnSpec> data_columns_, episode_columns_;
  std::optional<kit::parquet::Writer> data_, episodes_;
  FileSlot data_slot_, episodes_slot_;
  std::map<std::string, std::unique_ptr<kit::video::Mp4Joiner>> videos_;
  std::map<std::string, FileSlot> video_slot_;
  std::map<std::string, double> video_bytes_per_frame_;
  std::map<std::string, int64_t> video_bytes_before_;
};

}  // namespace studio
