// Derived views of a segment's payloads that filters read beside the
// payload index (which holds scalar entries only, as the file stores it):
//
// - the list index: per key, the points holding a list under it and, per
//   element value, the points whose list holds that element (each point
//   once per value, however often the element repeats);
// - per key, a sorted view of the numbers and of the strings stored under
//   it, list elements included, for ranges.
//
// Both are built on first use (the list index for all keys at once, sorted
// views per key) and from then on kept current by the segment's mutations.
//
// Threading: readers may call lists() and sorted() concurrently (a first
// use builds under a lock; later ones only look the view up); the mutation
// hooks add/remove/clear run while no reader is in the segment (the
// segment's payloads do not change under a reader either).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "format/payload.h"

namespace ulmora {

// A stored number as it was stored, compared exactly across kinds (an Int
// against a Float without rounding either side).
struct Number {
  int64_t i = 0;
  double d = 0;
  bool is_int = false;
  static Number of_int(int64_t x) { return {x, 0, true}; }
  static Number of_float(double x) { return {0, x, false}; }
};
// -1, 0 or 1; neither side may be NaN.
int compare_numbers(const Number& a, const Number& b);

// Which side of an operand a range keeps.
enum class RangeOp : uint8_t { kGt, kGte, kLt, kLte };

// Sorted (value, point) entries of one value type: a sorted main array
// whose removed entries are only marked, plus a small sorted delta of the
// entries added since. The delta merges into a fresh main array once it
// holds about 2 * sqrt(n) entries, and the marks once they reach an eighth
// of it, so a change costs O(sqrt(n)) moves on average and a range read
// stays two binary searches plus the entries it returns.
template <class V, class Cmp>
class SortedColumn {
 public:
  struct Entry {
    V value;
    uint64_t point;
  };
  void build(std::vector<Entry> entries);
  void add(const V& value, uint64_t point);
  void remove(const V& value, uint64_t point);
  // Counts a point that holds several distinct values here (a list).
  void note_multi(int delta) { multi_ += delta; }

  // Calls f(point) for every entry in the range (a point once per value).
  template <class Operand, class F>
  void for_range(RangeOp op, const Operand& x, F&& f) const;
  // Distinct points with a value in the range.
  template <class Operand>
  uint64_t count_points(RangeOp op, const Operand& x) const;

 private:
  struct Less {
    bool operator()(const Entry& a, const Entry& b) const {
      const int c = Cmp()(a.value, b.value);
      return c != 0 ? c < 0 : a.point < b.point;
    }
  };
  void merge();

  std::vector<Entry> main_;
  std::vector<uint8_t> dead_;  // per main entry
  uint64_t dead_count_ = 0;
  std::vector<Entry> delta_;  // sorted by Less
  int64_t multi_ = 0;
};

struct NumberCmp {
  int operator()(const Number& a, const Number& b) const { return compare_numbers(a, b); }
};
struct TextCmp {
  // char_traits<char> compares as unsigned bytes.
  int operator()(std::string_view a, std::string_view b) const {
    const int c = a.compare(b);
    return (c > 0) - (c < 0);
  }
};

// The sorted view of one key.
struct KeyView {
  SortedColumn<Number, NumberCmp> numbers;
  SortedColumn<std::string, TextCmp> texts;
  std::once_flag once;
  std::atomic<bool> built{false};
};

// Per key of the list index.
struct ListKey {
  PointIdSet holders;  // points holding a list (possibly empty) under the key
  std::unordered_map<PayloadValue, PointIdSet, PayloadValueHash> by_value;
};
using ListIndex = std::unordered_map<std::string, ListKey, TextHash>;

class PayloadViews {
 public:
  PayloadViews() = default;
  PayloadViews(const PayloadViews&) = delete;
  PayloadViews& operator=(const PayloadViews&) = delete;

  // ---- Reads (concurrent; `payloads` are the segment's, held still).
  const ListIndex& lists(const PayloadMap& payloads) const;
  const KeyView& sorted(const std::string& key, const PayloadMap& payloads) const;

  // ---- Upkeep, called beside every change of the payloads.
  void add(uint64_t point, const Payload& payload);
  void remove(uint64_t point, const Payload& payload);
  // Drops every view (a rebuilt payload map); later reads build afresh.
  void clear();

 private:
  KeyView* built_view(const std::string& key);

  mutable std::mutex mu_;
  mutable std::atomic<bool> lists_built_{false};
  mutable ListIndex lists_;
  mutable std::unordered_map<std::string, std::unique_ptr<KeyView>, TextHash> views_;
};

// ---- SortedColumn range reads -------------------------------------------

namespace views_detail {
// [begin, end) of the entries of sorted `v` in the range.
template <class Entry, class Cmp, class Operand>
std::pair<size_t, size_t> bounds(const std::vector<Entry>& v, RangeOp op, const Operand& x) {
  auto first_not = [&](auto keep_before) {
    return static_cast<size_t>(
        std::partition_point(v.begin(), v.end(), [&](const Entry& e) { return keep_before(Cmp()(e.value, x)); }) -
        v.begin());
  };
  switch (op) {
    case RangeOp::kGt: return {first_not([](int c) { return c <= 0; }), v.size()};
    case RangeOp::kGte: return {first_not([](int c) { return c < 0; }), v.size()};
    case RangeOp::kLt: return {0, first_not([](int c) { return c < 0; })};
    default: return {0, first_not([](int c) { return c <= 0; })};
  }
}
}  // namespace views_detail

template <class V, class Cmp>
template <class Operand, class F>
void SortedColumn<V, Cmp>::for_range(RangeOp op, const Operand& x, F&& f) const {
  const auto [lo, hi] = views_detail::bounds<Entry, Cmp>(main_, op, x);
  for (size_t i = lo; i < hi; ++i) {
    if (dead_count_ == 0 || dead_[i] == 0) f(main_[i].point);
  }
  const auto [dlo, dhi] = views_detail::bounds<Entry, Cmp>(delta_, op, x);
  for (size_t i = dlo; i < dhi; ++i) f(delta_[i].point);
}

template <class V, class Cmp>
template <class Operand>
uint64_t SortedColumn<V, Cmp>::count_points(RangeOp op, const Operand& x) const {
  if (multi_ == 0) {
    // Every point holds at most one value here: entries are points.
    const auto [lo, hi] = views_detail::bounds<Entry, Cmp>(main_, op, x);
    uint64_t n = hi - lo;
    if (dead_count_ != 0) {
      for (size_t i = lo; i < hi; ++i) n -= dead_[i];
    }
    const auto [dlo, dhi] = views_detail::bounds<Entry, Cmp>(delta_, op, x);
    return n + (dhi - dlo);
  }
  std::vector<uint64_t> points;
  for_range(op, x, [&](uint64_t p) { points.push_back(p); });
  std::sort(points.begin(), points.end());
  return static_cast<uint64_t>(std::unique(points.begin(), points.end()) - points.begin());
}

}  // namespace ulmora
