// The match set of a filter over a segment and the estimate of its size
// (declared in filter.h).
#include <algorithm>
#include <bit>
#include <cmath>
#include <string_view>

#include "segment/filter.h"
#include "segment/segment.h"

namespace ulmora {

namespace {

using Op = Filter::Op;
using Bits = std::vector<uint64_t>;

uint64_t popcount(const Bits& b) {
  uint64_t n = 0;
  for (uint64_t w : b) n += static_cast<uint64_t>(std::popcount(w));
  return n;
}

void set_bit(Bits& b, uint64_t node) { b[node / 64] |= uint64_t{1} << (node % 64); }
bool bit(const Bits& b, uint64_t node) { return (b[node / 64] >> (node % 64)) & 1; }

// The index keys a scalar operand equals: a number also under the other
// numeric kind when that holds it exactly.
std::vector<PayloadValue> index_keys(const PayloadValue& v) {
  std::vector<PayloadValue> keys{v};
  constexpr double kTwo63 = 9223372036854775808.0;
  if (v.kind() == PayloadValue::kInt) {
    const int64_t i = std::get<int64_t>(v.v);
    const auto d = static_cast<double>(i);
    if (d < kTwo63 && static_cast<int64_t>(d) == i) keys.emplace_back().v.emplace<double>(d);
  } else if (v.kind() == PayloadValue::kFloat) {
    const double d = std::get<double>(v.v);
    // Built in place: moving a temporary variant trips a false maybe-uninitialized warning.
    if (d == std::trunc(d) && d >= -kTwo63 && d < kTwo63) keys.emplace_back().v.emplace<int64_t>(static_cast<int64_t>(d));
  }
  return keys;
}

RangeOp range_op(Op op) {
  switch (op) {
    case Op::kGt: return RangeOp::kGt;
    case Op::kGte: return RangeOp::kGte;
    case Op::kLt: return RangeOp::kLt;
    default: return RangeOp::kLte;
  }
}

// Calls f(point) for each value in range of a range filter (a point once
// per value it holds there, so possibly more than once).
template <class F>
void for_each_in_range(const Segment& seg, const Filter& f, F&& fn) {
  const KeyView& view = seg.payload_views().sorted(f.key, seg.payloads());
  const PayloadValue& x = f.values[0];
  const RangeOp op = range_op(f.op);
  switch (x.kind()) {
    case PayloadValue::kInt: view.numbers.for_range(op, Number::of_int(std::get<int64_t>(x.v)), fn); break;
    case PayloadValue::kFloat: view.numbers.for_range(op, Number::of_float(std::get<double>(x.v)), fn); break;
    case PayloadValue::kStr: view.texts.for_range(op, std::string_view(std::get<std::string>(x.v)), fn); break;
    default: break;  // check_filter refuses ranges on bools
  }
}

uint64_t range_count(const Segment& seg, const Filter& f) {
  const KeyView& view = seg.payload_views().sorted(f.key, seg.payloads());
  const PayloadValue& x = f.values[0];
  const RangeOp op = range_op(f.op);
  switch (x.kind()) {
    case PayloadValue::kInt: return view.numbers.count_points(op, Number::of_int(std::get<int64_t>(x.v)));
    case PayloadValue::kFloat: return view.numbers.count_points(op, Number::of_float(std::get<double>(x.v)));
    case PayloadValue::kStr: return view.texts.count_points(op, std::string_view(std::get<std::string>(x.v)));
    default: return 0;
  }
}

// The distinct index keys of an Eq/In/Ne/Nin filter's operands.
std::vector<PayloadValue> operand_keys(const Filter& f) {
  std::vector<PayloadValue> keys;
  for (const PayloadValue& operand : f.values) {
    for (PayloadValue& k : index_keys(operand)) {
      if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(std::move(k));
    }
  }
  return keys;
}

// Calls f(set, from_lists) for every id set an equality filter reads: the payload
// index's for scalar entries, the list index's for list elements. Sets of
// the scalar index are disjoint (one entry per point and key); a point
// whose list holds several operands is in several list sets.
template <class F>
void for_each_equal_set(const Segment& seg, const Filter& f, F&& fn) {
  const std::vector<PayloadValue> keys = operand_keys(f);
  if (auto by_key = seg.payload_index().find(f.key); by_key != seg.payload_index().end()) {
    for (const PayloadValue& k : keys)
      if (auto hit = by_key->second.find(k); hit != by_key->second.end()) fn(hit->second, false);
  }
  const ListIndex& lists = seg.payload_views().lists(seg.payloads());
  if (auto by_key = lists.find(f.key); by_key != lists.end()) {
    for (const PayloadValue& k : keys)
      if (auto hit = by_key->second.by_value.find(k); hit != by_key->second.by_value.end()) fn(hit->second, true);
  }
}

// One evaluation: the segment, its node count and the live bitmap (built on
// first need).
class Evaluator {
 public:
  explicit Evaluator(const Segment& seg) : seg_(seg), nodes_(seg.hnsw().len()), words_((nodes_ + 63) / 64) {}
  uint64_t nodes() const { return nodes_; }

  Bits eval(const Filter& f) {
    switch (f.op) {
      case Op::kAll: return live();
      case Op::kAnd: return eval_and(f);
      case Op::kOr: {
        Bits acc = eval(f.children[0]);
        for (size_t i = 1; i < f.children.size(); ++i) {
          Bits next = eval(f.children[i]);
          for (uint64_t w = 0; w < words_; ++w) acc[w] |= next[w];
        }
        return acc;
      }
      case Op::kNot: return complement(eval(f.children[0]));
      case Op::kIdIn: return ids(f);
      case Op::kIdNin: return complement(ids(f));
      case Op::kEq: case Op::kIn: return equal(f);
      case Op::kNe: case Op::kNin: return complement(equal(f));
      case Op::kExists: return exists(f);
      default: return range(f);
    }
  }

 private:
  // Smallest estimate first; once few candidates remain, the other
  // children are tested per candidate instead of evaluated whole. Estimates
  // are exact for every comparison, and evaluating one whole costs a lookup
  // per match where a test costs about two per candidate (payload, key).
  Bits eval_and(const Filter& f) {
    std::vector<std::pair<uint64_t, const Filter*>> order;
    for (const Filter& c : f.children) order.emplace_back(estimate_matches(c, seg_), &c);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Bits acc = eval(*order[0].second);
    for (size_t i = 1; i < order.size(); ++i) {
      const uint64_t left = popcount(acc);
      if (left == 0) break;
      if (left * 2 < order[i].first) {
        keep_matching(acc, *order[i].second);
      } else {
        Bits next = eval(*order[i].second);
        for (uint64_t w = 0; w < words_; ++w) acc[w] &= next[w];
      }
    }
    return acc;
  }

  void keep_matching(Bits& acc, const Filter& f) {
    const auto& g = seg_.hnsw();
    for (uint64_t w = 0; w < words_; ++w) {
      for (uint64_t bits = acc[w]; bits != 0; bits &= bits - 1) {
        const uint64_t node = w * 64 + static_cast<uint64_t>(std::countr_zero(bits));
        const uint64_t id = g.point_id(node);
        auto it = seg_.payloads().find(id);
        const Payload* payload = it == seg_.payloads().end() ? nullptr : &it->second;
        if (!matches(f, id, payload)) acc[w] &= ~(uint64_t{1} << (node % 64));
      }
    }
  }

  const Bits& live() {
    if (!have_live_) {
      live_.assign(words_, 0);
      // Only the nodes counted at the start: a live insert may add more.
      seg_.live_bits(nodes_, live_.data());
      have_live_ = true;
    }
    return live_;
  }

  Bits complement(Bits b) {
    const Bits& l = live();
    for (uint64_t w = 0; w < words_; ++w) b[w] = l[w] & ~b[w];
    return b;
  }

  // Sets the bits of the live nodes of point ids, looked up a chunk at a
  // time under one lock of the graph's id map (one lock per id cost a third
  // of a filtered search).
  class PointSink {
   public:
    PointSink(const Segment& seg, uint64_t nodes, Bits& bits) : seg_(seg), nodes_(nodes), bits_(bits) {}
    ~PointSink() { flush(); }
    void add(uint64_t id) {
      ids_[count_++] = id;
      if (count_ == kChunk) flush();
    }

   private:
    static constexpr size_t kChunk = 256;
    void flush() {
      uint64_t at[kChunk];
      seg_.hnsw().indexes_of({ids_, count_}, at);
      for (size_t i = 0; i < count_; ++i) {
        if (at[i] < nodes_ && seg_.is_live(at[i])) set_bit(bits_, at[i]);
      }
      count_ = 0;
    }
    const Segment& seg_;
    uint64_t nodes_;
    Bits& bits_;
    uint64_t ids_[kChunk];
    size_t count_ = 0;
  };

  Bits ids(const Filter& f) {
    Bits b(words_, 0);
    {
      PointSink sink(seg_, nodes_, b);
      for (uint64_t id : f.ids) sink.add(id);
    }
    return b;
  }

  // Scalar entries from the payload index, list elements from the list
  // index; Ne and Nin complement this.
  Bits equal(const Filter& f) {
    Bits b(words_, 0);
    {
      PointSink sink(seg_, nodes_, b);
      for_each_equal_set(seg_, f, [&](const PointIdSet& ids, bool) {
        for (uint64_t id : ids) sink.add(id);
      });
    }
    return b;
  }

  // Exists: every point holding the key, a scalar or a list.
  Bits exists(const Filter& f) {
    Bits b(words_, 0);
    {
      PointSink sink(seg_, nodes_, b);
      if (auto by_key = seg_.payload_index().find(f.key); by_key != seg_.payload_index().end()) {
        for (const auto& [value, ids] : by_key->second)
          for (uint64_t id : ids) sink.add(id);
      }
      const ListIndex& lists = seg_.payload_views().lists(seg_.payloads());
      if (auto by_key = lists.find(f.key); by_key != lists.end()) {
        for (uint64_t id : by_key->second.holders) sink.add(id);
      }
    }
    return f.exists ? b : complement(std::move(b));
  }

  // Ranges: the key's sorted view of numbers or of strings.
  Bits range(const Filter& f) {
    Bits b(words_, 0);
    {
      PointSink sink(seg_, nodes_, b);
      for_each_in_range(seg_, f, [&](uint64_t id) { sink.add(id); });
    }
    return b;
  }

  const Segment& seg_;
  uint64_t nodes_;
  uint64_t words_;
  Bits live_;
  bool have_live_ = false;
};

uint64_t live_estimate(const Segment& seg) {
  const uint64_t len = seg.hnsw().len(), del = seg.hnsw().deleted_count();
  return len > del ? len - del : 0;
}

// Points holding the key: a scalar (the index's sets summed) or a list.
uint64_t key_count(const Segment& seg, const std::string& key) {
  uint64_t n = 0;
  if (auto by_key = seg.payload_index().find(key); by_key != seg.payload_index().end()) {
    for (const auto& [value, ids] : by_key->second) n += ids.size();
  }
  const ListIndex& lists = seg.payload_views().lists(seg.payloads());
  if (auto by_key = lists.find(key); by_key != lists.end()) n += by_key->second.holders.size();
  return n;
}

// Points equal to an operand, each once: scalar sets are disjoint; list
// sets overlap when a list holds several operands, so two or more are united.
uint64_t equal_count(const Segment& seg, const Filter& f) {
  uint64_t n = 0;
  std::vector<const PointIdSet*> list_sets;
  for_each_equal_set(seg, f, [&](const PointIdSet& ids, bool from_lists) {
    if (from_lists) {
      list_sets.push_back(&ids);
    } else {
      n += ids.size();
    }
  });
  if (list_sets.size() == 1) return n + list_sets[0]->size();
  std::vector<uint64_t> points;
  for (const PointIdSet* ids : list_sets) points.insert(points.end(), ids->begin(), ids->end());
  std::sort(points.begin(), points.end());
  return n + static_cast<uint64_t>(std::unique(points.begin(), points.end()) - points.begin());
}

uint64_t estimate_raw(const Filter& f, const Segment& seg, uint64_t live) {
  switch (f.op) {
    case Op::kAll: return live;
    case Op::kAnd: {
      uint64_t n = live;
      for (const Filter& c : f.children) n = std::min(n, estimate_raw(c, seg, live));
      return n;
    }
    case Op::kOr: {
      uint64_t n = 0;
      for (const Filter& c : f.children) n += estimate_raw(c, seg, live);
      return n;
    }
    case Op::kNot: return live - std::min(live, estimate_raw(f.children[0], seg, live));
    case Op::kIdIn: return f.ids.size();
    case Op::kIdNin: return live - std::min<uint64_t>(live, f.ids.size());
    case Op::kEq: case Op::kIn: return equal_count(seg, f);
    case Op::kNe: case Op::kNin: return live - std::min(live, equal_count(seg, f));
    case Op::kExists:
      return f.exists ? key_count(seg, f.key) : live - std::min(live, key_count(seg, f.key));
    default: return range_count(seg, f);
  }
}

}  // namespace

MatchSet MatchSet::from_bitmap(std::vector<uint64_t> words, uint64_t universe) {
  MatchSet m;
  m.universe_ = universe;
  m.size_ = popcount(words);
  m.words_ = std::move(words);
  // A list costs 8 bytes a match, the bitmap one bit a node.
  if (m.size_ * 64 < universe) {
    m.nodes_.reserve(m.size_);
    m.for_each([&](uint64_t node) { m.nodes_.push_back(node); });
    m.words_ = {};
    m.bitmap_ = false;
  }
  return m;
}

bool MatchSet::contains(uint64_t node) const {
  if (node >= universe_) return false;
  if (bitmap_) return bit(words_, node);
  return std::binary_search(nodes_.begin(), nodes_.end(), node);
}

void MatchSet::to_bitmap() {
  if (bitmap_) return;
  words_.assign((universe_ + 63) / 64, 0);
  for (uint64_t node : nodes_) set_bit(words_, node);
  // A sparse set keeps its list (no larger than the bitmap): a scan after a
  // declined walk then visits the matches, not every word of the bitmap.
  if (nodes_.size() > universe_ / 64) nodes_ = {};
  bitmap_ = true;
}

Result<MatchSet> match_set(const Filter& filter, const Segment& segment) {
  ULMORA_TRY(check_filter(filter));
  Evaluator e(segment);
  return MatchSet::from_bitmap(e.eval(filter), e.nodes());
}

uint64_t estimate_matches(const Filter& filter, const Segment& segment) {
  const uint64_t live = live_estimate(segment);
  return std::min(live, estimate_raw(filter, segment, live));
}

}  // namespace ulmora
