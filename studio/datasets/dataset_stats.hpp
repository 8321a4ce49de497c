#pragma once
// Feature statistics of a dataset: min, max, mean, std, count and the
// 1/10/50/90/99 % quantiles, per episode and for the whole dataset, with
// the merging rules datasets in this format use (count-weighted mean,
// pooled std, min/max of the per-episode values, and quantiles at or
// below the median taken as the smallest, the others as the largest).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kit/json/text.hpp"

namespace studio {

struct FeatureStats {
  std::vector<size_t> shape;  // {d} for vectors and scalars, {3,1,1} for images
  std::vector<double> min, max, mean, std;
  std::array<std::vector<double>, 5> quantiles;  // q01, q10, q50, q90, q99
  int64_t count = 0;
};

inline constexpr std::array<double, 5> kQuantiles{0.01, 0.10, 0.50, 0.90, 0.99};
inline constexpr std::array<const char*, 5> kQuantileNames{"q01", "q10", "q50", "q90", "q99"};

// Rows of equal length (one per frame).
FeatureStats vector_stats(const std::vector<std::vector<double>>& rows);
// Per colour channel of RGB images (values 0..255), reported over 0..1 in
// shape (3,1,1); `frames` is how many images the pixels came from.
FeatureStats image_stats(const std::array<std::array<uint64_t, 256>, 3>& histograms, int64_t frames);

FeatureStats merge(const std::vector<FeatureStats>& parts);

// {"min": [...], ..., "count": [n]} nested to the feature's shape.
kit::json::Json to_json(const FeatureStats& stats);
// Reads what to_json wrote (for appending to an existing dataset).
FeatureStats stats_from_json(const kit::json::Json& json);

}  // namespace studio
