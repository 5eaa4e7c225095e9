// Metric traits and the scorer: raw scores and keys of one query against
// stored vectors, through the kernel table chosen for this CPU.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

#include "format/snapshot.h"
#include "vector/kernels/kernels.h"

namespace ulmora::hnsw {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
// Vectors scored per batch on the query path.
inline constexpr size_t kBatch = 16;

// What a metric needs on the query path: its kernels (resolved once per
// call from the active table) and whether keys negate raw scores (Dot).
struct MetricTraits {
  Metric metric;
  bool negate;
  kernels::DotFn one;
  kernels::Batch4Fn four;

  static MetricTraits of(Metric metric) {
    const kernels::KernelTable& k = kernels::active();
    const bool l2 = metric == Metric::kEuclidean;
    return MetricTraits{metric, metric == Metric::kDot, l2 ? k.l2sq : k.dot, l2 ? k.l2sq_x4 : k.dot_x4};
  }
};

// Raw score and key of one query against stored vectors.
class Scorer {
 public:
  Scorer(const MetricTraits& t, const float* query, size_t dim)
      : metric_(t.metric), negate_(t.negate), query_(query), dim_(dim), one_(t.one), four_(t.four) {}

  float raw(const float* v) const { return finish_raw(one_(query_, v, dim_)); }
  float key(float raw) const {
    float k = negate_ ? -raw : raw;
    return k == k ? k : kInf;
  }
  // raw_out[j] for vecs[0..n), four at a time; n is at most one batch.
  void raw_many(const float* const* vecs, size_t n, float* raw_out) const {
    const unsigned count = static_cast<unsigned>(std::min(n, kBatch));
    unsigned j = 0;
    for (; j + 4 <= count; j += 4) four_(query_, vecs + j, dim_, raw_out + j);
    for (; j < count; ++j) raw_out[j] = one_(query_, vecs[j], dim_);
    if (metric_ == Metric::kCosine)
      for (unsigned i = 0; i < count; ++i) raw_out[i] = finish_raw(raw_out[i]);
  }

 private:
  float finish_raw(float v) const {
    if (metric_ != Metric::kCosine) return v;
    return 1.0f - (v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v));  // NaN passes through
  }
  Metric metric_;
  bool negate_;
  const float* query_;
  size_t dim_;
  kernels::DotFn one_;
  kernels::Batch4Fn four_;
};

}  // namespace ulmora::hnsw
