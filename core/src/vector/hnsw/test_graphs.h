// Test helpers: hand-built graphs restored into a Graph, brute-force
// reference answers, and re-running a test in a fresh process with extra
// environment variables (for values that are read once per process).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/test_child.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw::testing {

// A beam request over `q` with `o` resolved, for calling the beam's entry
// points directly. Used as a temporary inside the call it is passed to.
class Req {
 public:
  Req(const Graph& g, std::span<const float> q, size_t ef, const SearchOptions& o = {},
      SearchCounters* counters = nullptr)
      : opts_(resolve_options(o, q)), req_{q, ef, &opts_, MetricTraits::of(g.metric), counters} {}
  Req(const Req&) = delete;
  Req& operator=(const Req&) = delete;
  operator const SearchRequest&() const { return req_; }

 private:
  ResolvedOptions opts_;
  SearchRequest req_;
};

// A graph described by point ids. Node indices follow ascending point id.
struct TestGraph {
  Metric metric = Metric::kEuclidean;
  uint64_t dim = 2;
  uint64_t ef_search = 16;
  std::map<uint64_t, std::vector<float>> vectors;
  // level -> point id -> list (by convention the point itself first).
  std::map<uint64_t, std::map<uint64_t, std::vector<uint64_t>>> layers;
  std::map<uint64_t, uint64_t> levels;
  std::vector<uint64_t> deleted;
  std::optional<uint64_t> entry;
  uint64_t max_level = 0;

  void add(uint64_t id, std::vector<float> v) { vectors[id] = std::move(v); }
  void link(uint64_t level, uint64_t id, std::vector<uint64_t> list) { layers[level][id] = std::move(list); }
};

inline std::unique_ptr<Graph> build(const TestGraph& plan) {
  HnswSnapshot s;
  s.metric = plan.metric;
  s.dim = plan.dim;
  s.ef_search = plan.ef_search;
  s.level_cap = 4;
  s.max_level = plan.max_level;
  s.entry_point = plan.entry;
  for (const auto& [id, v] : plan.vectors) s.vectors.append(id, v);
  s.vectors.finalize();
  for (const auto& [level, lists] : plan.layers) {
    U64ListMap map;
    for (const auto& [id, list] : lists) map.append(id, list);
    map.finalize();
    s.layers.emplace_back(level, std::move(map));
  }
  for (const auto& [id, level] : plan.levels) s.levels.emplace_back(id, level);
  s.deleted = plan.deleted;
  std::sort(s.deleted.begin(), s.deleted.end());
  auto r = restore_graph(std::move(s));
  if (!r.ok()) return nullptr;
  return std::move(r).value();
}

inline std::vector<std::vector<float>> random_vectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& v : out)
    for (float& x : v) x = dist(rng);
  return out;
}

// Raw score and key the way the index computes them, in plain loops.
inline std::pair<float, float> reference_score(Metric metric, std::span<const float> q, std::span<const float> v) {
  double acc = 0;
  for (size_t i = 0; i < q.size(); ++i) {
    if (metric == Metric::kEuclidean) acc += double(q[i] - v[i]) * double(q[i] - v[i]);
    else acc += double(q[i]) * double(v[i]);
  }
  float raw = static_cast<float>(acc);
  if (metric == Metric::kCosine) raw = 1.0f - std::clamp(raw, -1.0f, 1.0f);
  return {raw, metric == Metric::kDot ? -raw : raw};
}

inline std::vector<float> normalized(std::vector<float> v) {
  double sum = 0;
  for (float x : v) sum += double(x) * x;
  if (sum == 0) return v;
  double inv = 1.0 / std::sqrt(sum);
  for (float& x : v) x = static_cast<float>(x * inv);
  return v;
}

// Point ids of the k best stored vectors (ids 0..n-1), best first.
inline std::vector<uint64_t> brute_force(Metric metric, const std::vector<std::vector<float>>& data,
                                         std::span<const float> q, size_t k, const std::vector<bool>* skip = nullptr) {
  std::vector<std::pair<float, uint64_t>> all;
  for (uint64_t i = 0; i < data.size(); ++i) {
    if (skip && (*skip)[i]) continue;
    float key = reference_score(metric, q, data[i]).second;
    all.emplace_back(std::isnan(key) ? INFINITY : key, i);
  }
  size_t keep = std::min(k, all.size());
  std::partial_sort(all.begin(), all.begin() + keep, all.end());
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < keep; ++i) ids.push_back(all[i].second);
  return ids;
}

// Single-level graph: every node lists itself, then its m nearest others.
// Cosine data is stored normalised.
inline TestGraph knn_graph(Metric metric, const std::vector<std::vector<float>>& data, size_t m) {
  TestGraph g;
  g.metric = metric;
  g.dim = data.front().size();
  std::vector<std::vector<float>> stored = data;
  if (metric == Metric::kCosine)
    for (auto& v : stored) v = normalized(v);
  for (uint64_t i = 0; i < stored.size(); ++i) g.add(i, stored[i]);
  for (uint64_t i = 0; i < stored.size(); ++i) {
    std::vector<uint64_t> near = brute_force(metric, stored, stored[i], m + 1);
    std::vector<uint64_t> list{i};
    for (uint64_t id : near)
      if (id != i && list.size() < m + 1) list.push_back(id);
    g.link(0, i, list);
  }
  g.entry = 0;
  return g;
}

using testing_child::run_child;

// ---- Shared by the search tests ----

inline const float kNaN = std::numeric_limits<float>::quiet_NaN();

inline std::vector<uint64_t> ids_of(const std::vector<ScoredNode>& list) {
  std::vector<uint64_t> ids;
  for (const ScoredNode& n : list) ids.push_back(n.node);
  return ids;
}

inline std::vector<ScoredNode> run(const Graph& ix, std::vector<float> q, size_t k, const SearchOptions& o = {}) {
  std::vector<ScoredNode> out;
  Status st = ix.search(q, k, o, out);
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().message());
  return out;
}

// Ascending key, ties by point id, no repeated ids.
inline void expect_well_ordered(const std::vector<ScoredNode>& out) {
  std::set<uint64_t> seen;
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_TRUE(seen.insert(out[i].node).second) << "repeated id " << out[i].node;
    EXPECT_FALSE(std::isnan(out[i].key));
    if (i == 0) continue;
    EXPECT_LE(out[i - 1].key, out[i].key);
    if (out[i - 1].key == out[i].key) {
      EXPECT_LT(out[i - 1].node, out[i].node);
    }
  }
}

// Points on a line at x = id; level-0 lists link each to its neighbours.
inline TestGraph chain(size_t n, Metric metric = Metric::kEuclidean) {
  TestGraph g;
  g.metric = metric;
  g.dim = 1;
  for (uint64_t i = 0; i < n; ++i) {
    g.add(i, {static_cast<float>(i + (metric == Metric::kDot ? 1 : 0))});
    std::vector<uint64_t> list{i};
    if (i > 0) list.push_back(i - 1);
    if (i + 1 < n) list.push_back(i + 1);
    g.link(0, i, list);
  }
  g.entry = 0;
  return g;
}

inline std::unique_ptr<Graph> quantized(Metric metric, size_t n = 400, size_t dim = 16) {
  auto data = testing::random_vectors(n, dim, 31);
  auto ix = build(testing::knn_graph(metric, data, 12));
  ix->quantize_sq8();
  return ix;
}

}  // namespace ulmora::hnsw::testing
