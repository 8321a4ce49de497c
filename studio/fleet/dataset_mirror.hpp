#pragma once
// A dataset's local copy beside its objects in S3 object storage.
// DATASET/.tessaline-published records, per file, the copy the store holds
// (its size and time here, and the store's ETag). A publication of a
// dataset studios share writes a journal into the store first (the objects
// it replaces, copied aside, and those it adds and removes), so one that
// stopped half-way can be settled: completed when its info.json went in,
// else undone.
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kit/s3/client.hpp"
#include "studio/fleet/dataset_publisher.hpp"

namespace studio {

// A file's identity for "changed since": a change switches files in by
// renaming, so a rewritten file has a new time as well.
std::string file_stamp(const std::filesystem::path& file);

// Files of the dataset relative to it, the studio's own bookkeeping left out;
// meta/info.json last, the rest of meta/ before it, data and videos first.
std::vector<std::string> own_files(const std::filesystem::path& dataset);

struct PublishedRecord {
  std::filesystem::path path;
  nlohmann::json files = nlohmann::json::object();         // rel -> file_stamp() of the copy the store holds
  nlohmann::json etags = nlohmann::json::object();         // rel -> the store's ETag of it
  nlohmann::json by_reference = nlohmann::json::object();  // rel -> true: only its size is here (a video)
  std::string info_etag;

  explicit PublishedRecord(const std::filesystem::path& dataset);
  void save() const;
  bool fetched(const std::string& rel) const { return !by_reference.contains(rel); }
};

std::string journal_key(const StoreAddress& store, const std::string& repo_id);
// Where publication `id` keeps the copy aside of `rel` ("" for journals
// written before publications had ids).
std::string undo_key(const StoreAddress& store, const std::string& repo_id, const std::string& id, const std::string& rel);
// Publication `id`'s journal and copies aside go.
void end_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id, const std::string& id);
// Only by the studio that holds the dataset: no other may be publishing it.
// An undone publication's objects go back under new ETags, so what its
// writer meant to write next, should it wake up, no longer fits the store.
void settle_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id);
bool has_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id);

enum class Videos { fetched, by_reference };

// Makes `dataset` what the store holds of `repo_id`, fetching only what
// changed. Local files the store never got are moved under `set_aside`
// first. With Videos::by_reference, a video is a sparse file of its size
// (read from the store by range when it is played).
void mirror_dataset(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id,
                    const std::filesystem::path& dataset, const std::filesystem::path& set_aside, Videos videos);
// The same from a listing the caller made: `objects` are those under store.key(repo_id, "").
void mirror_dataset(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id,
                    const std::filesystem::path& dataset, const std::filesystem::path& set_aside, Videos videos,
                    const std::vector<kit::s3::ObjectInfo>& objects);

// What the store holds under its prefix, from one listing: each dataset's
// objects (a dataset is a folder with meta/info.json) by repository id, and
// the datasets a publication is under way for (they have a journal).
struct StoreContents {
  std::map<std::string, std::vector<kit::s3::ObjectInfo>> datasets;
  std::set<std::string> journaled;
};
StoreContents store_contents(kit::s3::Client& s3, const StoreAddress& store);

}  // namespace studio
