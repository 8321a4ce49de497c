#include "studio/server/routes/dataset_routes.hpp"

#include <array>
#include <cstdio>
#include <fstream>

#include "studio/datasets/dataset_library.hpp"
#include "studio/datasets/episode_labels.hpp"
#include "studio/datasets/exporter.hpp"

namespace studio {
namespace fs = std::filesystem;
namespace {

// Whether every byte range a request asks for starts inside an entity of
// `size` bytes: decided before any byte of the answer is sent.
bool ranges_satisfiable(const httplib::Ranges& ranges, uint64_t size) {
  for (const auto& [first, last] : ranges) {
    if (first >= 0 && static_cast<uint64_t>(first) >= size) return false;
    if (first < 0 && last <= 0) return false;  // a suffix of nothing
  }
  return true;
}

// Where the answer's first byte is.
uint64_t first_offset(const httplib::Ranges& ranges, uint64_t size) {
  if (ranges.empty()) return 0;
  const auto [first, last] = ranges.front();
  return first >= 0 ? static_cast<uint64_t>(first) : size - std::min<uint64_t>(size, static_cast<uint64_t>(last));
}

constexpr uint64_t kPiece = 1 << 20;  // read from the bucket at a time

void refuse_range(httplib::Response& res, uint64_t size) {
  res.status = 416;
  res.set_header("Content-Range", "bytes */" + std::to_string(size));
}

long episode_number(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw BadRequest("\"episode\" must be an episode index");
  }
  return std::stol(text);
}

}  // namespace

void DatasetRoutes::register_on(Router& router) {
  router.get("/datasets", [this](const Call& call, httplib::Response& res) {
    Json answer{{"datasets", Json::array()}};
    if (views_) {
      views_->refresh_all();
      // The copies it shows meanwhile may be out of date: the page says why.
      if (const std::string error = views_->last_error(); !error.empty()) answer["storeError"] = error;
    }
    answer["datasets"] = list_datasets(catalog_, call.signed_in);
    send_json(res, answer);
  });
  router.get("/datasets/episodes", [this](const Call& call, httplib::Response& res) {
    refresh(call.repo_id());
    send_json(res, dataset_episodes(visible(call, call.repo_id())));
  });
  router.get("/datasets/episode", [this](const Call& call, httplib::Response& res) {
    refresh(call.repo_id());
    send_json(res, episode_series(visible(call, call.repo_id()), episode_number(call.param("episode"))));
  });
  router.get("/datasets/video", [this](const Call& call, httplib::Response& res) { send_video(call, res); });
  router.post("/datasets/episodes/delete", [this](const Call& call, httplib::Response& res) { delete_episode(call, res); });
  router.post("/datasets/episodes/label", [this](const Call& call, httplib::Response& res) { label_episode(call, res); });
}

DatasetEntry DatasetRoutes::visible(const Call& call, const std::string& repo) const {
  const DatasetEntry dataset = catalog_.find(repo);
  if (call.signed_in && dataset_owner(dataset) != *call.signed_in) throw Forbidden("the dataset " + repo + " belongs to another user");
  return dataset;
}

void DatasetRoutes::refresh(const std::string& repo_id) const {
  if (views_) views_->refresh(repo_id);
}

void DatasetRoutes::send_video(const Call& call, httplib::Response& res) const {
  const DatasetEntry dataset = visible(call, call.repo_id());
  const auto path = dataset_video(dataset, call.param("path"));
  if (!path) {
    send_json(res, {{"error", "no such video"}}, 404);
    return;
  }
  res.set_header("Cache-Control", "no-cache");  // a deleted episode must not play from an old copy
  if (const auto size = views_ ? views_->in_store_only(dataset.path, call.param("path")) : std::nullopt) {
    send_from_store(call, dataset, *size, res);
    return;
  }
  auto file = std::make_shared<std::ifstream>(*path, std::ios::binary);
  const size_t size = fs::file_size(*path);
  if (!ranges_satisfiable(call.req.ranges, size)) {
    refuse_range(res, size);
    return;
  }
  res.set_content_provider(size, "video/mp4", [file](size_t offset, size_t length, httplib::DataSink& sink) {
    std::array<char, 64 * 1024> buffer;
    file->seekg(static_cast<std::streamoff>(offset));
    const size_t n = std::min(length, buffer.size());
    file->read(buffer.data(), static_cast<std::streamsize>(n));
    if (file->gcount() <= 0) return false;
    sink.write(buffer.data(), static_cast<size_t>(file->gcount()));
    return true;
  });
}

// A video only in the bucket, played straight from it a range at a time.
// The first piece is fetched before the answer starts, so a store that is
// away is a 503 with its reason; one that goes away later ends the answer
// early (the player asks again), never the studio.
void DatasetRoutes::send_from_store(const Call& call, const DatasetEntry& dataset, uint64_t size, httplib::Response& res) const {
  if (!ranges_satisfiable(call.req.ranges, size)) {
    refuse_range(res, size);
    return;
  }
  const auto read = views_->range_reader(dataset.repo_id, call.param("path"));
  auto first = std::make_shared<std::pair<uint64_t, std::string>>(first_offset(call.req.ranges, size), "");
  try {
    first->second = read(first->first, std::min(kPiece, size - first->first));
  } catch (const kit::s3::Error& e) {
    send_json(res, {{"error", std::string("the video is in the bucket, which does not answer: ") + e.what()}}, 503);
    return;
  }
  res.set_content_provider(size, "video/mp4", [read, first](size_t offset, size_t length, httplib::DataSink& sink) {
    std::string bytes;
    if (offset == first->first && !first->second.empty()) {
      bytes = std::move(first->second);
      if (bytes.size() > length) bytes.resize(length);
    } else {
      try {
        bytes = read(offset, std::min<uint64_t>(length, kPiece));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "studio: a video from the bucket stopped: %s\n", e.what());
        return false;
      }
    }
    if (bytes.empty()) return false;
    sink.write(bytes.data(), bytes.size());
    return true;
  });
}

void DatasetRoutes::delete_episode(const Call& call, httplib::Response& res) {
  const DatasetEntry dataset = visible(call, call.repo_id());
  if (dataset.read_only) throw Forbidden("the dataset " + dataset.repo_id + " was recorded by another tool: it is shown read-only");
  if (!call.body.contains("episode") || !call.body["episode"].is_number_integer()) throw BadRequest("\"episode\" must be an integer");
  const long episode = call.body["episode"].get<long>();
  DeletedEpisode deleted{};
  change_dataset(dataset, [&](const fs::path& path) { deleted = studio::delete_episode(path, episode); });
  send_json(res, {{"repoId", dataset.repo_id}, {"deleted", episode}, {"frames", deleted.frames}, {"episodes", deleted.episodes_left}});
}

void DatasetRoutes::label_episode(const Call& call, httplib::Response& res) {
  const DatasetEntry dataset = visible(call, call.repo_id());
  if (dataset.read_only) throw Forbidden("the dataset " + dataset.repo_id + " was recorded by another tool: it is shown read-only");
  if (!call.body.contains("episode") || !call.body["episode"].is_number_integer()) throw BadRequest("\"episode\" must be an integer");
  const long episode = call.body["episode"].get<long>();
  std::optional<EpisodeLabel> label;
  const Json given = call.body.value("label", Json());
  if (!given.is_null()) {
    if (!given.is_string()) throw BadRequest("\"label\" must be \"success\", \"failure\" or null");
    const Json note = call.body.value("note", Json(""));
    if (!note.is_string()) throw BadRequest("\"note\" must be text");
    label = EpisodeLabel{given.get<std::string>(), note.get<std::string>()};
  }
  try {
    change_dataset(dataset, [&](const fs::path& path) { studio::label_episode(path, episode, label); });
  } catch (const std::invalid_argument& e) {
    throw BadRequest(e.what());
  }
  send_json(res, {{"repoId", dataset.repo_id}, {"episode", episode}, {"label", given}});
}

void DatasetRoutes::change_dataset(const DatasetEntry& dataset, const std::function<void(const fs::path&)>& change) {
  if (!queue_) {
    exports_.submit([&] { change(dataset.path); }).get();
    if (publisher_) publisher_->publish(dataset.repo_id, dataset.path);
    return;
  }
  // The fleet's dataset: changed in this studio's working copy, then published as an export would be.
  const fs::path working = dataset_dir(data_dir_, dataset.repo_id);
  queue_->hold_dataset(dataset.repo_id, dataset_owner(dataset), [&](const HoldCheck& held) {
    publisher_->pull(dataset.repo_id, working, data_dir_ / "set-aside");
    change(working);
    publisher_->publish_now(dataset.repo_id, working, held);
  });
  views_->refresh(dataset.repo_id);
}

}  // namespace studio
