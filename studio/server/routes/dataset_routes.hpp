#pragma once
// The dataset viewer's API: datasets, episodes, an episode's joint values,
// the videos (with range requests; a video only in the bucket is played
// from it), deleting an episode and labelling one. A browser from another computer sees
// its user's datasets only.
#include <filesystem>

#include "kit/pool/thread_pool.hpp"
#include "studio/datasets/dataset_catalog.hpp"
#include "studio/datasets/episode_deletion.hpp"
#include "studio/fleet/dataset_publisher.hpp"
#include "studio/fleet/export_queue.hpp"
#include "studio/fleet/store_views.hpp"
#include "studio/server/router.hpp"

namespace studio {

class DatasetRoutes {
 public:
  // `views`, `queue` and `publisher` may be null (no fleet; no store).
  DatasetRoutes(std::filesystem::path data_dir, const DatasetCatalog& catalog, kit::ThreadPool& exports, StoreViews* views,
                ExportQueue* queue, DatasetPublisher* publisher)
      : data_dir_(std::move(data_dir)), catalog_(catalog), exports_(exports), views_(views), queue_(queue), publisher_(publisher) {}
  void register_on(Router& router);

 private:
  DatasetEntry visible(const Call& call, const std::string& repo) const;
  void refresh(const std::string& repo_id) const;
  void send_video(const Call& call, httplib::Response& res) const;
  void send_from_store(const Call& call, const DatasetEntry& dataset, uint64_t size, httplib::Response& res) const;
  void delete_episode(const Call& call, httplib::Response& res);
  void label_episode(const Call& call, httplib::Response& res);
  // A change to a dataset of this studio's: on the export thread (never
  // beside an export of it), or in a fleet while no studio exports to it;
  // then published.
  void change_dataset(const DatasetEntry& dataset, const std::function<void(const std::filesystem::path&)>& change);

  std::filesystem::path data_dir_;
  const DatasetCatalog& catalog_;
  kit::ThreadPool& exports_;
  StoreViews* views_;
  ExportQueue* queue_;
  DatasetPublisher* publisher_;
};

}  // namespace studio
