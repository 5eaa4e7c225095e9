// KeyHeap: the binary heap of the beam's frontier and results.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "vector/hnsw/search.h"

namespace ulmora::hnsw {

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

}  // namespace ulmora::hnsw
