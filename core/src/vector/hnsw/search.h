// Search records: per-call options, scored nodes, counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace ulmora::hnsw {

// Per-call overrides; an absent field falls back to the index default or
// the process-wide tuning value.
struct SearchOptions {
  std::optional<size_t> ef;
  std::optional<size_t> scan_cap;  // 0 = uncapped
  std::optional<size_t> scan_patience;
  std::optional<size_t> early_exit_patience;
  std::optional<size_t> expansion_mult;  // 0 counts as 1
  std::optional<size_t> entry_seeds;     // 0 counts as 1
  std::optional<size_t> adaptive_ef_high;
  std::optional<size_t> rerank_factor;
  std::optional<float> adaptive_ef_threshold;
  std::optional<bool> ti_skip;
  std::optional<bool> sq8_screen;
  std::optional<bool> sq8_score_only;
};

// Element of every heap, candidate list and result list.
struct ScoredNode {
  uint64_t node;  // node index inside the search; point id in final results
  float raw;      // raw metric score
  float key;      // sort key, lower is better
};
static_assert(sizeof(ScoredNode) == 16);

struct SearchCounters {
  uint64_t visited = 0;
  uint64_t expanded = 0;
};

// ---- Building blocks of the beam, exposed for tests ----

// Binary heap keyed on ScoredNode::key. kMin: the top has the lowest key
// (frontier); otherwise the highest (results). A pushed element rises past
// its parent only when strictly better, so among equal keys the element
// already present stays nearer the top. Keys must not be NaN (the search
// stores NaN keys as +inf). Storage is kept between uses.
template <bool kMin>
class KeyHeap {
 public:
  void clear() { v_.clear(); }
  bool empty() const { return v_.empty(); }
  size_t size() const { return v_.size(); }
  const ScoredNode& top() const { return v_.front(); }
  const std::vector<ScoredNode>& data() const { return v_; }

  void push(const ScoredNode& x) {
    size_t hole = v_.size();
    v_.push_back(x);
    rise(hole, x);
  }

  // Removes the top: the hole sinks to the bottom along the preferred child
  // (the right one unless the left is strictly preferred), then the former
  // last element fills it and rises.
  ScoredNode pop() {
    ScoredNode top = v_.front();
    ScoredNode last = v_.back();
    v_.pop_back();
    const size_t n = v_.size();
    if (n == 0) return top;
    size_t hole = 0, child = 1;
    while (child + 1 < n) {
      child += above(v_[child].key, v_[child + 1].key) ? 0 : 1;
      v_[hole] = v_[child];
      hole = child;
      child = 2 * hole + 1;
    }
    if (child == n - 1) {
      v_[hole] = v_[child];
      hole = child;
    }
    rise(hole, last);
    return top;
  }

  // Heap sort in place: afterwards data() runs from the top's opposite end
  // to the top (ascending keys for the results heap). The heap property is
  // gone; clear() before the next use.
  void sort_into_order() {
    for (size_t end = v_.size(); end > 1;) {
      --end;
      std::swap(v_[0], v_[end]);
      sink(0, end);
    }
  }
  void sort_ascending() requires(!kMin) { sort_into_order(); }

 private:
  static bool above(float a, float b) { return kMin ? a < b : a > b; }
  void rise(size_t hole, const ScoredNode& x) {
    while (hole > 0) {
      size_t parent = (hole - 1) / 2;
      if (!above(x.key, v_[parent].key)) break;
      v_[hole] = v_[parent];
      hole = parent;
    }
    v_[hole] = x;
  }
  // Sift v_[pos] down within [0, end); stops at the first child that is not
  // strictly preferred.
  void sink(size_t pos, size_t end) {
    ScoredNode x = v_[pos];
    size_t hole = pos, child = 2 * pos + 1;
    while (child + 1 < end) {
      child += above(v_[child].key, v_[child + 1].key) ? 0 : 1;
      if (!above(v_[child].key, x.key)) {
        v_[hole] = x;
        return;
      }
      v_[hole] = v_[child];
      hole = child;
      child = 2 * hole + 1;
    }
    if (child + 1 == end && above(v_[child].key, x.key)) {
      v_[hole] = v_[child];
      hole = child;
    }
    v_[hole] = x;
  }
  std::vector<ScoredNode> v_;
};

// SipHash-1-3 of `data` with the 128-bit key (k0, k1).
uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1);
// Hash that orders capped neighbour scans: SipHash-1-3 with an all-zero key
// over the element count (8 bytes LE) and each element's bit pattern (4
// bytes LE).
uint64_t query_hash(std::span<const float> query);
// In-beam SQ8 screening bound for the current worst key: the integer part
// of (1 - worst) * 127.5^2 * 0.85, saturated to i32, 0 for NaN.
int32_t screen_threshold(float worst);

}  // namespace ulmora::hnsw
