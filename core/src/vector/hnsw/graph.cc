// Graph storage operations, metrics, score keys and SQ8 codes.
#include "vector/hnsw/graph.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "base/env.h"
#include "base/env_registry.h"
#include "vector/hnsw/config.h"
#include "vector/kernels/kernels.h"
#include "vector/kernels/rounding.h"

namespace ulmora::hnsw {

// ---- Metrics and score keys -------------------------------------------

namespace {

// clamp that lets NaN through (std::clamp would too, but say so).
inline float clamp_unit(float x) { return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x); }

}  // namespace

float score(Metric metric, const float* a, const float* b, size_t n) {
  switch (metric) {
    case Metric::kCosine: return 1.0f - clamp_unit(kernels::dot(a, b, n));
    case Metric::kDot: return kernels::dot(a, b, n);
    case Metric::kEuclidean: return kernels::l2sq(a, b, n);
  }
  return 0.0f;
}

void prepare(Metric metric, std::span<const float> v, std::vector<float>& out) {
  out.assign(v.begin(), v.end());
  if (metric != Metric::kCosine) return;
  double sum = 0.0;
  for (float x : v) sum += static_cast<double>(x) * static_cast<double>(x);
  if (sum == 0.0) return;  // all zeros stay as they are; NaN takes the scaling path
  double inv = 1.0 / std::sqrt(sum);
  for (float& x : out) x = static_cast<float>(static_cast<double>(x) * inv);
}

int8_t quantize_query_element_i8(float q) {
  return static_cast<int8_t>(kernels::round_clamped(q * 127.5f, -128.0f, 127.0f));
}

void quantize_query_i8(std::span<const float> q, std::vector<int8_t>& out) {
  out.resize(q.size());
  for (size_t i = 0; i < q.size(); ++i) out[i] = quantize_query_element_i8(q[i]);
}

float sq8_cosine_raw(int32_t code_score) {
  return 1.0f - clamp_unit(static_cast<float>(code_score) / 16256.25f);
}

// ---- Construction -------------------------------------------------------

namespace {

double level_scale_from_env(uint64_t m) {
  if (auto v = env::positive_f64(env::kLevelScale.name)) return *v;
  double scale = 1.0 / std::log(static_cast<double>(m));
  if (auto mult = env::positive_f64(env::kLevelScaleMult.name)) scale *= *mult;
  return scale;
}

uint64_t level_cap_from_env(uint64_t requested) {
  uint64_t cap = requested;
  if (auto v = env::count(env::kMaxLevelCap.name); v && *v > 0) {
    cap = *v;
  } else if (auto w = env::count(env::kMaxLevel.name); w && *w > 0) {
    cap = *w;
  }
  return std::min(cap, kMaxLevel);
}

uint64_t checked_dim(uint64_t dim) {
  // An internal invariant: callers never build an index without dimensions.
  if (dim == 0) throw std::logic_error("assertion failed: dim > 0 && chunk_capacity > 0");
  return dim;
}

}  // namespace

Graph::Graph(Metric metric_, uint64_t m_, uint64_t ef, uint64_t level_cap_, uint64_t dim_)
    : vectors(checked_dim(dim_)),
      m(m_),
      m0(2 * m_),
      m0_cap(2 * m_),
      ef_search(ef),
      ef_construction(ef),
      level_cap(level_cap_from_env(level_cap_)),
      level_scale(level_scale_from_env(m_)),
      dim(dim_),
      exact_fallback_threshold(tuning::exact_fallback_threshold().value_or(256)),
      exact_fallback_enabled(tuning::exact_fallback_enabled()),
      metric(metric_) {
  layers.reserve(level_cap + 1);
  for (uint64_t l = 0; l <= level_cap; ++l) layers.push_back(std::make_unique<NeighborLayer>());
  tuning::note_unfiltered_stats_switch();
}

Graph::Graph(RestoreTag, Metric metric_, uint64_t dim_)
    : vectors(checked_dim(dim_)),
      m(0),
      m0(0),
      m0_cap(0),
      ef_search(0),
      ef_construction(0),
      level_cap(0),
      level_scale(0.0),
      dim(dim_),
      exact_fallback_threshold(0),
      exact_fallback_enabled(false),
      metric(metric_) {}

// ---- Storage reads ------------------------------------------------------

uint64_t Graph::len() const {
  std::lock_guard<std::mutex> lock(alloc);
  return count;
}

bool Graph::contains(uint64_t point_id) const {
  std::lock_guard<std::mutex> lock(alloc);
  return id_to_index.find(point_id).has_value();
}

std::optional<uint64_t> Graph::index_of(uint64_t point_id) const {
  std::lock_guard<std::mutex> lock(alloc);
  return id_to_index.find(point_id);
}

void Graph::indexes_of(std::span<const uint64_t> ids, uint64_t* out) const {
  std::lock_guard<std::mutex> lock(alloc);
  for (size_t i = 0; i < ids.size(); ++i) out[i] = id_to_index.index_or_absent(ids[i]);
}

void Graph::live_bits(uint64_t nodes, uint64_t* words) const {
  const uint64_t n = std::min({nodes, vectors.len(), deleted.len()});
  if (deleted_count.load(std::memory_order_acquire) == 0) {
    std::fill(words, words + n / 64, ~uint64_t{0});
    if (n % 64 != 0) words[n / 64] = (uint64_t{1} << (n % 64)) - 1;
    return;
  }
  for (uint64_t i = 0; i < n; ++i) {
    if (deleted.get(i) == 0) words[i / 64] |= uint64_t{1} << (i % 64);
  }
}

const float* Graph::vector_of(uint64_t point_id) const {
  auto i = index_of(point_id);
  return i ? live_vector(*i) : nullptr;
}

// ---- Deletion and entry -------------------------------------------------

void Graph::mark_deleted(uint64_t point_id) {
  auto found = index_of(point_id);
  if (!found) return;
  uint64_t i = *found;
  if (i >= deleted.len() || i >= node_states.len()) return;  // still being allocated
  if (deleted.get(i) == 0) {
    deleted.set(i, 1);
    deleted_count.fetch_add(1, std::memory_order_acq_rel);
  }
  node_states.set(i, static_cast<uint8_t>(NodeState::kDeleted));
  if (entry_index(entry.load(std::memory_order_acquire)) == i) {
    auto best = best_entry_candidate();
    entry.store(best ? pack_entry(levels.get(*best), *best) : kNoEntry, std::memory_order_release);
  }
}

std::optional<uint64_t> Graph::best_entry_candidate() const {
  uint64_t n = std::min({len(), levels.len(), deleted.len()});
  std::optional<uint64_t> best;
  uint8_t best_level = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (deleted.get(i) != 0) continue;
    uint8_t level = levels.get(i);
    if (!best || level >= best_level) {
      best = i;
      best_level = level;
    }
  }
  return best;
}

// ---- SQ8 ----------------------------------------------------------------

void Graph::freeze() {
  if (frozen) return;
  // Fixed rows let the beam find a level-0 list without first loading its
  // slot; the sparse upper levels get rows found by rank, without a slot
  // per node.
  for (auto& l : layers) l->pack_fixed();
  // Only a Cosine search's triangle skip reads the scores; the cap hints
  // serve inserts alone.
  if (metric == Metric::kCosine) neighbor_scores.pack_fixed();
  else neighbor_scores.release_lists();
  cap_hints.release();
  // Restored point ids are ascending and usually contiguous: index_of is
  // then a subtraction and the hash map can go.
  id_to_index.compact_if_contiguous();
  bool linked = true;
  for (uint64_t i = 0, n = published_len(); i < n && linked; ++i) linked = state(i) == NodeState::kLinked;
  all_linked = linked;
  frozen = true;
}

void Graph::quantize_sq8() {
  const uint64_t n = std::min(len(), vectors.len());
  const uint64_t d = dim;
  if (n == 0 || d == 0) return;
  sq8_codes.assign(n * d, 0);
  sq8_mins.clear();
  sq8_scales.clear();

  if (metric == Metric::kCosine) {
    for (uint64_t i = 0; i < n; ++i) kernels::cosine_codes(vectors.get(i), d, sq8_codes.data() + i * d);
    return;
  }

  std::vector<float> mins(d, std::numeric_limits<float>::max());
  std::vector<float> maxs(d, -std::numeric_limits<float>::max());
  for (uint64_t i = 0; i < n; ++i) {
    if (deleted.get(i) != 0) continue;
    kernels::widen_range(vectors.get(i), d, mins.data(), maxs.data());
  }
  std::vector<float> scales(d);
  for (uint64_t j = 0; j < d; ++j) {
    float range = maxs[j] - mins[j];
    scales[j] = range > 0.0f ? range / 255.0f : 1.0f;
  }
  for (uint64_t i = 0; i < n; ++i)
    kernels::scaled_codes(vectors.get(i), mins.data(), scales.data(), d, sq8_codes.data() + i * d);
  sq8_mins = std::move(mins);
  sq8_scales = std::move(scales);
}

void Graph::extend_sq8() {
  const uint64_t d = dim;
  const uint64_t have = sq8_codes.size() / d;
  const uint64_t n = std::min(len(), vectors.len());
  if (have == 0 || n <= have) return;
  sq8_codes.resize(n * d);
  uint8_t* out = sq8_codes.data();
  for (uint64_t i = have; i < n; ++i) {
    if (metric == Metric::kCosine) {
      kernels::cosine_codes(vectors.get(i), d, out + i * d);
    } else {
      // The scales stay those of quantize_sq8(): values outside them clamp
      // to code 0 or 255.
      kernels::scaled_codes(vectors.get(i), sq8_mins.data(), sq8_scales.data(), d, out + i * d);
    }
  }
}

}  // namespace ulmora::hnsw
