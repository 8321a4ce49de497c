#include "studio/fleet/dataset_mirror.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>

#include "kit/files/atomic_file.hpp"
#include "studio/datasets/dataset_change.hpp"

namespace studio {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {
constexpr const char* kPublished = ".tessaline-published";  // in the dataset: what the store holds
}  // namespace

std::string file_stamp(const fs::path& file) {
  return std::to_string(fs::file_size(file)) + ":" + std::to_string(fs::last_write_time(file).time_since_epoch().count());
}

std::vector<std::string> own_files(const fs::path& dataset) {
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(dataset); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().filename().string();
    if (name.rfind(".tessaline", 0) == 0) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(dataset).generic_string());
  }
  auto rank = [](const std::string& rel) { return rel == "meta/info.json" ? 2 : rel.rfind("meta/", 0) == 0 ? 1 : 0; };
  std::sort(files.begin(), files.end(), [&](const std::string& a, const std::string& b) {
    return std::make_pair(rank(a), a) < std::make_pair(rank(b), b);
  });
  return files;
}

PublishedRecord::PublishedRecord(const fs::path& dataset) : path(dataset / kPublished) {
  const Json kept = fs::exists(path) ? Json::parse(read_file(path), nullptr, false) : Json();
  if (!kept.is_object()) return;  // unreadable: everything goes again
  files = kept.value("files", files);
  etags = kept.value("etags", etags);
  by_reference = kept.value("byReference", by_reference);
  info_etag = kept.value("infoEtag", "");
}

void PublishedRecord::save() const {
  kit::files::write_atomically(
      path, Json{{"files", files}, {"etags", etags}, {"byReference", by_reference}, {"infoEtag", info_etag}}.dump());
}

std::string journal_key(const StoreAddress& store, const std::string& repo_id) {
  return store.internal_key("journal/" + repo_id + ".json");
}

std::string undo_key(const StoreAddress& store, const std::string& repo_id, const std::string& id, const std::string& rel) {
  return store.internal_key("undo/" + repo_id + "/" + (id.empty() ? "" : id + "/") + rel);
}

void end_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id, const std::string& id) {
  for (const auto& object : s3.list(store.bucket, undo_key(store, repo_id, id, ""))) s3.remove(store.bucket, object.key);
  s3.remove(store.bucket, journal_key(store, repo_id));
}

bool has_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id) {
  return s3.head(store.bucket, journal_key(store, repo_id)).has_value();
}

namespace {

// `from`'s bytes written to `to` under an ETag other than `seen`: a copy as
// one part has the "-1" form, one request the plain form.
void write_under_new_etag(kit::s3::Client& s3, const std::string& bucket, const std::string& from, const std::string& to,
                          const std::string& seen) {
  if (seen.find('-') == std::string::npos) s3.copy_as_part(bucket, from, to);
  else s3.put(bucket, to, s3.get(bucket, from));
}

}  // namespace

void settle_journal(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id) {
  if (!has_journal(s3, store, repo_id)) return;
  const auto journal = Json::parse(s3.get(store.bucket, journal_key(store, repo_id)));
  const std::string id = journal.value("id", "");
  const auto info = s3.head(store.bucket, store.key(repo_id, "meta/info.json"));
  if (journal.contains("infoEtag") && info && info->etag == journal["infoEtag"]) {
    // It went in: what was left is removing the files that went.
    for (const auto& rel : journal["removed"]) s3.remove(store.bucket, store.key(repo_id, rel));
  } else {
    const Json seen = journal.value("expected", Json::object());
    for (const auto& rel : journal["replaced"]) {
      // Copies aside all precede the uploads: one missing was never replaced.
      const std::string live = store.key(repo_id, rel), undo = undo_key(store, repo_id, id, rel);
      const std::string from = s3.head(store.bucket, undo) ? undo : live;
      if (from == live && !s3.head(store.bucket, live)) continue;
      write_under_new_etag(s3, store.bucket, from, live, seen.value(rel.get<std::string>(), ""));
    }
    for (const auto& rel : journal["added"]) s3.remove(store.bucket, store.key(repo_id, rel));
  }
  end_journal(s3, store, repo_id, id);
}

void mirror_dataset(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id, const fs::path& dataset,
                    const fs::path& set_aside, Videos videos) {
  mirror_dataset(s3, store, repo_id, dataset, set_aside, videos, s3.list(store.bucket, store.key(repo_id, "")));
}

void mirror_dataset(kit::s3::Client& s3, const StoreAddress& store, const std::string& repo_id, const fs::path& dataset,
                    const fs::path& set_aside, Videos videos, const std::vector<kit::s3::ObjectInfo>& objects) {
  // Local changes the store never had are kept, out of the way.
  if (fs::exists(dataset)) {
    const PublishedRecord record(dataset);
    const auto files = own_files(dataset);
    const bool unpublished = std::any_of(files.begin(), files.end(), [&](const std::string& rel) {
      return record.files.value(rel, "") != file_stamp(dataset / rel);
    });
    if (unpublished) {
      // The newest such copy per dataset is kept: the episodes of a job
      // whose publication failed stay in the store until the job is done,
      // so older copies hold nothing the fleet needs.
      const std::string name = dataset.filename().string() + "-";
      fs::create_directories(set_aside);
      for (const auto& e : fs::directory_iterator(set_aside)) {
        const std::string older = e.path().filename().string();
        if (older.rfind(name, 0) == 0 && older.size() > name.size() &&
            older.find_first_not_of("0123456789", name.size()) == std::string::npos) {
          fs::remove_all(e.path());
        }
      }
      const fs::path aside = set_aside / (name + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
      fs::rename(dataset, aside);
      std::fprintf(stderr,
                   "studio: %s here had changes the store never got; kept in %s (the newest such copy of it; "
                   "remove it with rm -r once it is not needed)\n",
                   repo_id.c_str(), aside.c_str());
    }
  }

  PublishedRecord record(dataset);
  const std::string root = store.key(repo_id, "");
  std::set<std::string> remote;
  for (const auto& object : objects) {
    const std::string rel = object.key.substr(root.size());
    remote.insert(rel);
    const fs::path local = dataset / rel;
    const bool by_reference = videos == Videos::by_reference && rel.rfind("videos/", 0) == 0;
    if (fs::exists(local) && record.files.value(rel, "") == file_stamp(local) && record.etags.value(rel, "") == object.etag &&
        record.fetched(rel) != by_reference) {
      continue;
    }
    fs::create_directories(local.parent_path());
    if (by_reference) {
      fs::remove(local);
      { std::ofstream(local, std::ios::binary); }
      fs::resize_file(local, object.size);  // sparse: takes no room
      record.by_reference[rel] = true;
    } else {
      kit::files::write_atomically(local, s3.get(store.bucket, object.key));
      record.by_reference.erase(rel);
    }
    record.files[rel] = file_stamp(local);
    record.etags[rel] = object.etag;
    if (rel == "meta/info.json") record.info_etag = object.etag;
    record.save();
  }
  if (!fs::exists(dataset)) return;  // nothing here, nothing there
  for (const auto& rel : own_files(dataset)) {
    if (!remote.count(rel)) fs::remove(dataset / rel);
  }
  for (auto* map : {&record.files, &record.etags, &record.by_reference}) {
    for (auto it = map->begin(); it != map->end();) it = remote.count(it.key()) ? std::next(it) : map->erase(it);
  }
  if (!remote.count("meta/info.json")) record.info_etag.clear();
  record.save();
}

StoreContents store_contents(kit::s3::Client& s3, const StoreAddress& store) {
  const std::string root = store.prefix.empty() ? "" : store.prefix + "/";
  const std::string info = "/meta/info.json", journal = store.internal_key("journal/");
  const auto objects = s3.list(store.bucket, root);
  StoreContents contents;
  for (const auto& object : objects) {
    const std::string rel = object.key.substr(root.size());
    if (object.key.rfind(journal, 0) == 0 && object.key.size() > journal.size() + 5) {
      contents.journaled.insert(object.key.substr(journal.size(), object.key.size() - journal.size() - 5));  // less ".json"
    } else if (rel.rfind(".tessaline/", 0) != 0 && rel.size() > info.size() &&
               rel.compare(rel.size() - info.size(), info.size(), info) == 0) {
      contents.datasets[rel.substr(0, rel.size() - info.size())];
    }
  }
  // Objects come in key order, so each dataset's are one run; a dataset's
  // folder never holds another's (repository ids are ORG/NAME).
  for (auto& [repo, own] : contents.datasets) {
    const std::string at = store.key(repo, "");
    auto from = std::lower_bound(objects.begin(), objects.end(), at,
                                 [](const kit::s3::ObjectInfo& o, const std::string& key) { return o.key < key; });
    for (; from != objects.end() && from->key.rfind(at, 0) == 0; ++from) own.push_back(*from);
  }
  return contents;
}

}  // namespace studio
