#pragma once
// The last step of an export before the switch-in: the dataset's metadata
// written into the change — tasks, statistics merged with what was there,
// our sidecar (owner, tasks, the fleet's jobs), and info.json with the new
// totals (the features of a new dataset from its layout).
#include <map>
#include <string>
#include <vector>

#include "studio/datasets/dataset_change.hpp"
#include "studio/datasets/dataset_stats.hpp"
#include "studio/datasets/export_layout.hpp"

namespace studio {

struct ExportAdded {
  long episodes = 0;
  long frames = 0;
  std::map<std::string, std::vector<FeatureStats>> stats;  // per feature, each new episode's
  kit::json::Json labels = kit::json::Json::object();     // the new episodes' labels, by index
  kit::json::Json quality = kit::json::Json::object();    // and their quality records
};

// `after`: the dataset's state with the new episodes counted.
void write_metadata(DatasetChange& change, const DatasetState& after, const ExportLayout& layout, const ExportRequest& request,
                    ExportAdded added);

}  // namespace studio
