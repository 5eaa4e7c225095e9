// Filters over payloads and point ids: the tree a caller builds, its
// checks, its evaluation against one payload, and the match set of a whole
// segment with an estimate of its size.
//
// Semantics. A comparison on a key matches a point whose entry under the
// key compares true; on a list entry it matches when any element does, and
// Ne/Nin match when no element is equal. Numbers compare as numbers
// whatever their stored kind (Int 3 equals Float 3.0, exactly, also beyond
// 2^53); a bool never equals a number; strings compare by their bytes;
// values of different kinds are never equal nor ordered. A point without
// the key (or without a payload) matches no comparison except Ne and Nin.
// A NaN stored value equals nothing and is not ordered. Deleted points
// never match.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/payload.h"

namespace ulmora {

class Segment;

struct Filter {
  enum class Op : uint8_t {
    kAll,     // every live point
    kAnd,     // children, at least one
    kOr,      // children, at least one
    kNot,     // one child
    kEq,      // key, values[0]
    kNe,      // key, values[0]
    kGt,      // key, values[0]: a number or a string
    kGte,
    kLt,
    kLte,
    kIn,      // key, values (any count)
    kNin,     // key, values
    kExists,  // key; `exists` says whether the key must be present
    kIdIn,    // ids
    kIdNin,   // ids
  };
  Op op = Op::kAll;
  bool exists = true;
  std::string key;
  std::vector<PayloadValue> values;  // scalars only: Int, Float, Str, Bool
  std::vector<uint64_t> ids;
  std::vector<Filter> children;

  static Filter all() { return Filter{}; }
  static Filter logic(Op op, std::vector<Filter> children);
  static Filter negate(Filter child);
  static Filter compare(Op op, std::string key, PayloadValue value);
  static Filter in(bool negated, std::string key, std::vector<PayloadValue> values);
  static Filter has(std::string key, bool exists);
  static Filter id_in(bool negated, std::vector<uint64_t> ids);
};

// Structural equality (values as the payload index compares them) and a
// hash that agrees with it: equal filters have equal match sets.
bool same_filter(const Filter& a, const Filter& b);
uint64_t filter_hash(const Filter& f);

// The deepest nesting a filter may have (the root counts as 1).
inline constexpr uint64_t kMaxFilterDepth = 32;

// InvalidFilter naming the part at fault: nesting deeper than
// kMaxFilterDepth, And/Or without children, Not without exactly one child,
// a list operand on a comparison, a NaN operand, a range on a bool, a
// wrong child count or stray fields for an operator. A filter that passes
// is safe to evaluate.
Status check_filter(const Filter& filter);

// The reference evaluation: does a live point with this id and payload
// (nullptr: none) match? `filter` must have passed check_filter.
bool matches(const Filter& filter, uint64_t point_id, const Payload* payload);

// The points matching a filter, as node indexes of the segment's graph:
// a bitmap over all nodes or a sorted list of node indexes, whichever is
// smaller. contains() is one lookup for a bitmap and a binary search for a
// list; a graph walk that needs one lookup per node calls to_bitmap() first.
class MatchSet {
 public:
  MatchSet() = default;
  // `words` covers `universe` nodes (bits past it are zero).
  static MatchSet from_bitmap(std::vector<uint64_t> words, uint64_t universe);

  uint64_t size() const { return size_; }
  uint64_t universe() const { return universe_; }
  bool is_bitmap() const { return bitmap_; }
  bool contains(uint64_t node) const;
  void to_bitmap();
  // The bitmap's words (is_bitmap) and the ascending node list (when not a
  // bitmap, or a bitmap of a sparse set: see to_bitmap).
  const std::vector<uint64_t>& words() const { return words_; }
  const std::vector<uint64_t>& nodes() const { return nodes_; }
  // Calls f(node) for every match in ascending node order.
  template <class F>
  void for_each(F&& f) const {
    if (!bitmap_ || !nodes_.empty()) {
      for (uint64_t node : nodes_) f(node);
      return;
    }
    for (uint64_t w = 0; w < words_.size(); ++w) {
      for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) f(w * 64 + __builtin_ctzll(bits));
    }
  }

 private:
  std::vector<uint64_t> words_;
  std::vector<uint64_t> nodes_;
  uint64_t universe_ = 0;
  uint64_t size_ = 0;
  bool bitmap_ = true;
};

// The match set of `filter` over the live points of `segment`, computed
// once. Equality and In read the payload index for scalar entries and the
// list index for list elements; ranges read the key's sorted view of
// values and Exists the holders of the key (segment/payload_views.h), so no
// comparison scans the payloads. Errors: the filter's check_filter error.
// Needs the segment held still (a reader's lock).
Result<MatchSet> match_set(const Filter& filter, const Segment& segment);

// An estimate of the number of matches without evaluating the filter:
// exact for Eq, In, Ne, Nin, ranges and Exists (each point counted once,
// however many list elements match), sums for Or, the smallest child for
// And, complements for Not, the list length for ids; all capped at the
// live count.
uint64_t estimate_matches(const Filter& filter, const Segment& segment);

}  // namespace ulmora
