// The match set of a filter over a segment and the estimate of its size
// (declared in filter.h).
#include <algorithm>
#include <bit>
#include <cmath>

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
    if (d < kTwo63 && static_cast<int64_t>(d) == i) keys.push_back(PayloadValue{d});
  } else if (v.kind() == PayloadValue::kFloat) {
    const double d = std::get<double>(v.v);
    if (d == std::trunc(d) && d >= -kTwo63 && d < kTwo63) keys.push_back(PayloadValue{static_cast<int64_t>(d)});
  }
  return keys;
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
      default: return scan(f);  // ranges and Exists
    }
  }

 private:
  // Smallest estimate first; once few candidates remain, the other
  // children are tested per candidate instead of evaluated whole.
  Bits eval_and(const Filter& f) {
    std::vector<std::pair<uint64_t, const Filter*>> order;
    for (const Filter& c : f.children) order.emplace_back(estimate_matches(c, seg_), &c);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Bits acc = eval(*order[0].second);
    for (size_t i = 1; i < order.size(); ++i) {
      const uint64_t left = popcount(acc);
      if (left == 0) break;
      if (left * 8 < order[i].first) {
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
      for (uint64_t node = 0; node < nodes_; ++node) {
        if (seg_.is_live(node)) set_bit(live_, node);
      }
      have_live_ = true;
    }
    return live_;
  }

  Bits complement(Bits b) {
    const Bits& l = live();
    for (uint64_t w = 0; w < words_; ++w) b[w] = l[w] & ~b[w];
    return b;
  }

  void add_point(Bits& b, uint64_t id) {
    auto at = seg_.hnsw().index_of(id);
    if (at && *at < nodes_ && seg_.is_live(*at)) set_bit(b, *at);
  }

  Bits ids(const Filter& f) {
    Bits b(words_, 0);
    for (uint64_t id : f.ids) add_point(b, id);
    return b;
  }

  // Scalar entries from the index; list entries (not in the index) by a
  // scan of the payloads holding a list under the key.
  Bits equal(const Filter& f) {
    Bits b(words_, 0);
    if (auto by_key = seg_.payload_index().find(f.key); by_key != seg_.payload_index().end()) {
      for (const PayloadValue& operand : f.values) {
        for (const PayloadValue& k : index_keys(operand)) {
          auto hit = by_key->second.find(k);
          if (hit == by_key->second.end()) continue;
          for (uint64_t id : hit->second) add_point(b, id);
        }
      }
    }
    Filter positive = f;
    positive.op = f.op == Op::kNe ? Op::kEq : (f.op == Op::kNin ? Op::kIn : f.op);
    for (const auto& [id, payload] : seg_.payloads()) {
      auto it = payload.find(f.key);
      if (it != payload.end() && !it->second.is_scalar() && matches(positive, id, &payload)) add_point(b, id);
    }
    return b;
  }

  // Ranges and Exists: every payload is tested (no sorted view of values yet).
  Bits scan(const Filter& f) {
    Bits b(words_, 0);
    Filter present = f;
    if (f.op == Op::kExists) present.exists = true;
    for (const auto& [id, payload] : seg_.payloads()) {
      if (matches(present, id, &payload)) add_point(b, id);
    }
    return f.op == Op::kExists && !f.exists ? complement(std::move(b)) : b;
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

// Points holding a scalar under the key (the index's sets summed).
uint64_t key_count(const Segment& seg, const std::string& key) {
  auto by_key = seg.payload_index().find(key);
  if (by_key == seg.payload_index().end()) return 0;
  uint64_t n = 0;
  for (const auto& [value, ids] : by_key->second) n += ids.size();
  return n;
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
    case Op::kEq: case Op::kIn: case Op::kNe: case Op::kNin: {
      uint64_t n = 0;
      if (auto by_key = seg.payload_index().find(f.key); by_key != seg.payload_index().end()) {
        for (const PayloadValue& operand : f.values) {
          for (const PayloadValue& k : index_keys(operand)) {
            if (auto hit = by_key->second.find(k); hit != by_key->second.end()) n += hit->second.size();
          }
        }
      }
      const bool negated = f.op == Op::kNe || f.op == Op::kNin;
      return negated ? live - std::min(live, n) : n;
    }
    case Op::kExists:
      return f.exists ? key_count(seg, f.key) : live - std::min(live, key_count(seg, f.key));
    default: return key_count(seg, f.key);  // ranges: at most the points holding the key
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
  nodes_ = {};
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
