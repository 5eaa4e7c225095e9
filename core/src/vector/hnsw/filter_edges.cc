#include "vector/hnsw/filter_edges.h"

#include <algorithm>
#include <string>

#include "base/clock.h"
#include "base/env.h"
#include "base/env_registry.h"
#include "base/log.h"
#include "base/rng.h"
#include "vector/hnsw/config.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/neighbor_select.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {
namespace {

// Set of point ids that remembers insertion order (the link order). Open
// addressing, cleared by bumping a stamp, so reuse allocates nothing.
class PeerSet {
 public:
  void clear() {
    order_.clear();
    if (++stamp_ == 0) {
      std::fill(stamps_.begin(), stamps_.end(), 0);
      stamp_ = 1;
    }
  }
  // False when `id` is already present.
  bool insert(uint64_t id) {
    if ((order_.size() + 1) * 2 > ids_.size()) grow();
    const size_t mask = ids_.size() - 1;
    for (size_t h = slot(id) & mask;; h = (h + 1) & mask) {
      if (stamps_[h] != stamp_) {
        stamps_[h] = stamp_;
        ids_[h] = id;
        order_.push_back(id);
        return true;
      }
      if (ids_[h] == id) return false;
    }
  }
  size_t size() const { return order_.size(); }
  const std::vector<uint64_t>& order() const { return order_; }

 private:
  static size_t slot(uint64_t id) { return static_cast<size_t>((id * 0x9E3779B97F4A7C15ull) >> 17); }
  void grow() {
    std::vector<uint64_t> kept;
    kept.swap(order_);
    size_t cap = std::max<size_t>(64, ids_.size() * 2);
    ids_.assign(cap, 0);
    stamps_.assign(cap, 0);
    stamp_ = 1;
    for (uint64_t id : kept) insert(id);
  }
  std::vector<uint64_t> ids_;
  std::vector<uint32_t> stamps_;
  uint32_t stamp_ = 1;
  std::vector<uint64_t> order_;
};

struct Peer {
  uint64_t id;
  uint64_t index;
};

// Per-thread buffers of one add_filter_edges call.
struct FilterScratch {
  std::vector<float> query;
  std::vector<Peer> batch;
  std::vector<Peer> sample;
  std::vector<ScoredNode> scored;  // node field = point id
  PeerSet peers;
};

FilterScratch& filter_scratch() {
  thread_local FilterScratch s;
  return s;
}

// Timing aggregate of the calling thread; one line every 10000 events.
struct FilterEdgeAgg {
  uint64_t n = 0, cum_n = 0, samples = 0, scored = 0, added = 0;
  uint64_t slot_ns[4] = {};  // bool, str, int, float

  void record(int slot, uint64_t s, uint64_t sc, uint64_t a, uint64_t ns) {
    ++n;
    samples += s;
    scored += sc;
    added += a;
    slot_ns[slot] += ns;
    if (n % 10000 != 0) return;
    cum_n += n;
    ULMORA_LOG(log::Level::kInfo, "hnsw", line());
    n = samples = scored = added = 0;
    std::fill(std::begin(slot_ns), std::end(slot_ns), 0);
  }

  std::string line() const {
    auto ms = [](uint64_t ns) { return std::to_string(ns / 1000000); };
    uint64_t total = slot_ns[0] + slot_ns[1] + slot_ns[2] + slot_ns[3];
    return "[filter_edges_agg] n=" + std::to_string(n) + " cum_n=" + std::to_string(cum_n) +
           " samples=" + std::to_string(samples) + " scored=" + std::to_string(scored) +
           " added=" + std::to_string(added) + " total_ms=" + ms(total) + " bool_ms=" + ms(slot_ns[0]) +
           " str_ms=" + ms(slot_ns[1]) + " int_ms=" + ms(slot_ns[2]) + " float_ms=" + ms(slot_ns[3]);
  }
};

FilterEdgeAgg& filter_edge_agg() {
  thread_local FilterEdgeAgg agg;
  return agg;
}

bool agg_enabled() {
  std::optional<std::string> v = env::lookup(env::kLogFilterEdgesAgg.name);
  return v && *v != "0" && *v != "false";
}

int value_slot(const PayloadValue& v) {
  switch (v.kind()) {
    case PayloadValue::kBool: return 0;
    case PayloadValue::kStr: return 1;
    case PayloadValue::kInt: return 2;
    default: return 3;
  }
}

// Up to `cap` peers of `set` (other than `self`, with a live vector), drawn
// uniformly by reservoir sampling when the set holds more than `cap` ids.
// Ids are resolved in batches so `alloc` is never held for long.
void sample_peers(const Graph& g, const PointIdSet& set, uint64_t self, size_t cap, FilterScratch& s) {
  constexpr size_t kBatch = 256;
  s.sample.clear();
  uint64_t eligible = 0;
  auto it = set.begin();
  while (it != set.end()) {
    s.batch.clear();
    {
      std::lock_guard<std::mutex> lock(g.alloc);
      for (; it != set.end() && s.batch.size() < kBatch; ++it) {
        if (*it == self) continue;
        if (std::optional<uint64_t> i = g.id_to_index.find(*it)) s.batch.push_back({*it, *i});
      }
    }
    for (const Peer& p : s.batch) {
      if (!g.live_vector(p.index)) continue;
      if (eligible < cap) {
        s.sample.push_back(p);
      } else {
        uint64_t j = thread_random_below(eligible + 1);
        if (j < cap) s.sample[j] = p;
      }
      ++eligible;
    }
  }
}

// One key: sample, score, and add the best `d` peers to the peer set.
// Returns {sampled, scored, added}.
struct KeyCounts {
  uint64_t sampled, scored, added;
};

KeyCounts link_candidates_for_key(const Graph& g, const PointIdSet& set, uint64_t self, size_t d,
                                  FilterScratch& s) {
  sample_peers(g, set, self, 2 * d, s);
  const size_t dim = static_cast<size_t>(g.dim);
  s.scored.clear();
  for (const Peer& p : s.sample) {
    const float* v = g.live_vector(p.index);
    if (!v) continue;
    float raw = score(g.metric, s.query.data(), v, dim);
    s.scored.push_back({p.id, raw, sort_key(g.metric, raw)});
  }
  detail::sort_by_key(s.scored);
  const size_t before = s.peers.size();
  const size_t take = std::min(d, s.scored.size());
  for (size_t i = 0; i < take; ++i) s.peers.insert(s.scored[i].node);
  return {s.sample.size(), s.scored.size(), s.peers.size() - before};
}

}  // namespace

void add_filter_edges(HnswIndex& owner, uint64_t point_id, std::span<const float> vector, const Payload& payload,
                      const PayloadIndex& payload_index, std::span<const FilterKey> filter_keys) {
  if (filter_keys.empty()) return;
  Graph& g = graph_of(owner);
  FilterScratch& s = filter_scratch();
  prepare(g.metric, vector, s.query);
  const size_t d = static_cast<size_t>(g.m0);
  const bool timing = agg_enabled();
  s.peers.clear();

  for (const FilterKey& fk : filter_keys) {
    auto pv = payload.find(fk.key);
    if (pv == payload.end() || !pv->second.is_scalar()) continue;
    auto per_key = payload_index.find(fk.key);
    if (per_key == payload_index.end()) continue;
    auto holders = per_key->second.find(pv->second);
    if (holders == per_key->second.end()) continue;
    const Instant start = timing ? now() : Instant{};
    KeyCounts c = link_candidates_for_key(g, holders->second, point_id, d, s);
    if (timing) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now() - start).count();
      filter_edge_agg().record(value_slot(pv->second), c.sampled, c.scored, c.added,
                               ns > 0 ? static_cast<uint64_t>(ns) : 0);
    }
  }

  size_t links = 0;
  for (size_t i = 0; i < s.peers.order().size() && links < d; ++i) {
    uint64_t p = s.peers.order()[i];
    if (p == point_id) continue;
    add_filter_edge(owner, 0, point_id, p);
    ++links;
  }
}

void add_filter_edge(HnswIndex& owner, uint64_t level, uint64_t from_point_id, uint64_t to_point_id) {
  Graph& g = graph_of(owner);
  std::optional<uint64_t> a = g.index_of(from_point_id);
  std::optional<uint64_t> b = g.index_of(to_point_id);
  if (!a || !b) return;
  // Catch-up growth: every layer and the score column cover every node.
  const uint64_t n = g.len();
  for (auto& l : g.layers)
    if (l->len() < n) l->grow_to(n);
  if (g.neighbor_scores.len() < n) g.neighbor_scores.grow_to(n);
  if (level >= g.layer_count()) return;

  const uint64_t node = *a;
  const uint32_t target = static_cast<uint32_t>(*b);
  const bool caps = tuning::enforce_neighbor_caps();
  // Appends the link, re-sorts by key from `node`, keeps `sc` (when given)
  // parallel, and trims to the cap.
  auto edit = [&](std::vector<uint32_t>& list, std::vector<float>* sc) {
    if (std::find(list.begin(), list.end(), target) == list.end()) list.push_back(target);
    const float* nv = g.live_vector(node);
    if (list.size() >= 2 && nv) {
      thread_local std::vector<ScoredNode> order;
      const size_t dim = static_cast<size_t>(g.dim);
      order.clear();
      for (uint32_t e : list) {
        float raw = score(g.metric, nv, g.vector(e), dim);
        order.push_back({e, raw, sort_key(g.metric, raw)});
      }
      detail::sort_by_key(order);
      for (size_t k = 0; k < order.size(); ++k) list[k] = static_cast<uint32_t>(order[k].node);
      if (sc) {
        sc->clear();
        for (const ScoredNode& o : order) sc->push_back(o.node == node ? 0.0f : o.raw);
      }
    } else if (sc) {
      detail::rebuild_scores(g, node, list, *sc);
    }
    if (caps) {
      thread_local std::vector<float> kept_raws;
      if (detail::cap_list_locked(g, level, node, list, sc, sc ? &kept_raws : nullptr) && sc) *sc = kept_raws;
    }
  };
  const bool scored = level == 0 && g.neighbor_scores.has_slot(node);
  g.layer(level).modify(node, [&](std::vector<uint32_t>& list) {
    if (!scored) {
      edit(list, nullptr);
      return;
    }
    g.neighbor_scores.modify(node, [&](std::vector<float>& sc) { edit(list, &sc); });
  });
}

}  // namespace ulmora::hnsw
