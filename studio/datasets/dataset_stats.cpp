#include "studio/datasets/dataset_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace studio {
namespace {

using kit::json::Json;

// numpy's default (linear) quantile of sorted values.
double quantile(const std::vector<double>& sorted, double q) {
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const auto lo = static_cast<size_t>(std::floor(pos));
  const auto hi = static_cast<size_t>(std::ceil(pos));
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
}

// The value at rank `r` (0-based) of a histogram's sorted samples.
double rank_value(const std::array<uint64_t, 256>& h, uint64_t r) {
  uint64_t seen = 0;
  for (size_t v = 0; v < 256; ++v) {
    seen += h[v];
    if (seen > r) return static_cast<double>(v);
  }
  return 255;
}

Json nested(const std::vector<double>& flat, const std::vector<size_t>& shape) {
  if (shape.size() == 3) {  // (3,1,1)
    Json out = Json::array();
    for (const double v : flat) out.push_back(Json::array({Json::array({v})}));
    return out;
  }
  return Json(flat);
}

std::vector<double> flat(const Json& j) {
  std::vector<double> out;
  if (j.is_array()) {
    for (const auto& e : j) {
      const auto inner = flat(e);
      out.insert(out.end(), inner.begin(), inner.end());
    }
  } else {
    out.push_back(j.get<double>());
  }
  return out;
}

}  // namespace

FeatureStats vector_stats(const std::vector<std::vector<double>>& rows) {
  if (rows.empty()) throw std::invalid_argument("no values to describe");
  const size_t dims = rows.front().size();
  FeatureStats s;
  s.shape = {dims};
  s.count = static_cast<int64_t>(rows.size());
  for (size_t d = 0; d < dims; ++d) {
    std::vector<double> column;
    column.reserve(rows.size());
    for (const auto& r : rows) {
      if (r.size() != dims) throw std::invalid_argument("rows of different lengths");
      column.push_back(r[d]);
    }
    std::sort(column.begin(), column.end());
    double sum = 0;
    for (const double v : column) sum += v;
    const double mean = sum / static_cast<double>(column.size());
    double squares = 0;
    for (const double v : column) squares += (v - mean) * (v - mean);
    s.min.push_back(column.front());
    s.max.push_back(column.back());
    s.mean.push_back(mean);
    s.std.push_back(std::sqrt(squares / static_cast<double>(column.size())));
    for (size_t q = 0; q < kQuantiles.size(); ++q) s.quantiles[q].push_back(quantile(column, kQuantiles[q]));
  }
  return s;
}

FeatureStats image_stats(const std::array<std::array<uint64_t, 256>, 3>& histograms, int64_t frames) {
  FeatureStats s;
  s.shape = {3, 1, 1};
  s.count = frames;
  for (const auto& h : histograms) {
    uint64_t n = 0;
    double sum = 0, squares = 0;
    for (size_t v = 0; v < 256; ++v) {
      n += h[v];
      sum += static_cast<double>(h[v]) * static_cast<double>(v);
      squares += static_cast<double>(h[v]) * static_cast<double>(v) * static_cast<double>(v);
    }
    if (n == 0) throw std::invalid_argument("no pixels to describe");
    const double mean = sum / static_cast<double>(n);
    s.mean.push_back(mean / 255);
    s.std.push_back(std::sqrt(std::max(0.0, squares / static_cast<double>(n) - mean * mean)) / 255);
    s.min.push_back(rank_value(h, 0) / 255);
    s.max.push_back(rank_value(h, n - 1) / 255);
    for (size_t q = 0; q < kQuantiles.size(); ++q) {
      const double pos = kQuantiles[q] * static_cast<double>(n - 1);
      const auto lo = static_cast<uint64_t>(std::floor(pos));
      const double a = rank_value(h, lo), b = rank_value(h, std::min(lo + 1, n - 1));
      s.quantiles[q].push_back((a + (b - a) * (pos - static_cast<double>(lo))) / 255);
    }
  }
  return s;
}

FeatureStats merge(const std::vector<FeatureStats>& parts) {
  if (parts.empty()) throw std::invalid_argument("nothing to merge");
  FeatureStats out = parts.front();
  const size_t dims = out.mean.size();
  out.count = 0;
  for (const auto& p : parts) {
    if (p.mean.size() != dims) throw std::invalid_argument("statistics of different shapes");
    out.count += p.count;
  }
  for (size_t d = 0; d < dims; ++d) {
    double weighted = 0, second = 0;
    for (const auto& p : parts) {
      weighted += static_cast<double>(p.count) * p.mean[d];
      second += static_cast<double>(p.count) * (p.std[d] * p.std[d] + p.mean[d] * p.mean[d]);
      out.min[d] = std::min(out.min[d], p.min[d]);
      out.max[d] = std::max(out.max[d], p.max[d]);
      for (size_t q = 0; q < kQuantiles.size(); ++q) {
        out.quantiles[q][d] = kQuantiles[q] <= 0.5 ? std::min(out.quantiles[q][d], p.quantiles[q][d])
                                                   : std::max(out.quantiles[q][d], p.quantiles[q][d]);
      }
    }
    const double n = static_cast<double>(out.count);
    out.mean[d] = weighted / n;
    out.std[d] = std::sqrt(std::max(0.0, second / n - out.mean[d] * out.mean[d]));
  }
  return out;
}

Json to_json(const FeatureStats& s) {
  Json out = Json::object();
  out["min"] = nested(s.min, s.shape);
  out["max"] = nested(s.max, s.shape);
  out["mean"] = nested(s.mean, s.shape);
  out["std"] = nested(s.std, s.shape);
  out["count"] = Json::array({s.count});
  for (size_t q = 0; q < kQuantiles.size(); ++q) out[kQuantileNames[q]] = nested(s.quantiles[q], s.shape);
  return out;
}

FeatureStats stats_from_json(const Json& j) {
  FeatureStats s;
  s.min = flat(j.at("min"));
  s.max = flat(j.at("max"));
  s.mean = flat(j.at("mean"));
  s.std = flat(j.at("std"));
  s.count = j.at("count").at(0).get<int64_t>();
  for (size_t q = 0; q < kQuantiles.size(); ++q) s.quantiles[q] = flat(j.at(kQuantileNames[q]));
  s.shape = j.at("mean").is_array() && !j.at("mean").empty() && j.at("mean")[0].is_array()
                ? std::vector<size_t>{s.mean.size(), 1, 1}
                : std::vector<size_t>{s.mean.size()};
  return s;
}

}  // namespace studio
