// Graph insertion: allocation, level draw, greedy descent, per-level beam
// search with a one-hop widening of the pool, diversity selection, the new
// node's lists, sorted back-links and neighbour caps.
//
// Level-0 score lists are kept parallel to the level-0 neighbour lists: every
// edit of a level-0 list here also rewrites the node's score list while the
// neighbour list's write lock is held (lock order: neighbour list, then score
// list). A score list whose length differs from its neighbour list (restored
// nodes, a fresh self entry) is treated as absent and rebuilt on next edit.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>

#include "base/clock.h"
#include "base/rng.h"
#include "vector/hnsw/config.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/filter_edges.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/neighbor_select.h"
#include "vector/hnsw/stats.h"
#include "vector/kernels/kernels.h"

namespace ulmora::hnsw {

// ---------------------------------------------------------------------------
// Insertion.

namespace {

std::atomic<uint64_t> g_insert_counter{0};

// Test seam: when set, a node's level comes from its point id instead of
// the thread's random generator (still capped), so a build is repeatable.
std::atomic<uint64_t (*)(uint64_t)> g_level_source{nullptr};

constexpr uint64_t kMaxNodeIndex = 0xFFFFFFFEull;

// A uniform value in (0, 1] from (seed, point id) alone: a seeded build
// draws the same levels whatever order its threads insert in.
double seeded_unit(uint64_t seed, uint64_t point_id) {
  auto mix = [](uint64_t z) {  // SplitMix64's finaliser
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  const uint64_t h = mix(seed ^ mix(point_id + 0x9E3779B97F4A7C15ull));
  return static_cast<double>((h >> 11) + 1) * 0x1.0p-53;
}

// floor(-ln(u) * scale), saturated to u64, capped at the index's level cap.
uint64_t level_of(double u, double scale, uint64_t cap) {
  double v = std::floor(-std::log(u) * scale);
  uint64_t level;
  if (!(v >= 0.0)) level = 0;
  else if (v >= 18446744073709551616.0) level = std::numeric_limits<uint64_t>::max();
  else level = static_cast<uint64_t>(v);
  return std::min(level, cap);
}

// Visit marks with a 32-bit epoch, plus buffers of the one-hop expansion.
struct ExpansionScratch {
  std::vector<uint32_t> marks;
  uint32_t epoch = 0;
  std::vector<ScoredNode> extra;
  bool in_use = false;
};

class ExpansionBorrow {
 public:
  ExpansionBorrow() : s_(scratch()) {
    if (s_.in_use) throw std::logic_error("expansion scratch borrowed re-entrantly");
    s_.in_use = true;
  }
  ~ExpansionBorrow() { s_.in_use = false; }
  ExpansionScratch* operator->() { return &s_; }

 private:
  static ExpansionScratch& scratch() {
    thread_local ExpansionScratch s;
    return s;
  }
  ExpansionScratch& s_;
};

// Buffers of one insertion, reused across inserts on a thread.
struct InsertScratch {
  std::vector<float> prepared;
  std::vector<ScoredNode> cands;
  std::vector<uint32_t> selected;  // positions in cands
  std::vector<uint32_t> new_list;
  std::vector<float> new_scores;
};

InsertScratch& insert_scratch() {
  thread_local InsertScratch s;
  return s;
}

bool is_linked(const Graph& g, uint64_t i) { return g.state(i) == NodeState::kLinked; }

// Fills raw and key of every item from `query`, four at a time.
void score_all(const Graph& g, const float* query, std::vector<ScoredNode>& items) {
  const size_t dim = static_cast<size_t>(g.dim);
  const kernels::KernelTable& k = kernels::active();
  const kernels::Batch4Fn batch = g.metric == Metric::kEuclidean ? k.l2sq_x4 : k.dot_x4;
  const size_t n = items.size();
  size_t i = 0;
  float out[4];
  for (; i + 4 <= n; i += 4) {
    const float* group[4] = {g.vector(items[i].node), g.vector(items[i + 1].node), g.vector(items[i + 2].node),
                             g.vector(items[i + 3].node)};
    batch(query, group, dim, out);
    for (size_t t = 0; t < 4; ++t) {
      float raw = g.metric == Metric::kCosine ? 1.0f - std::clamp(out[t], -1.0f, 1.0f) : out[t];
      items[i + t].raw = raw;
      items[i + t].key = sort_key(g.metric, raw);
    }
  }
  for (; i < n; ++i) {
    float raw = score(g.metric, query, g.vector(items[i].node), dim);
    items[i].raw = raw;
    items[i].key = sort_key(g.metric, raw);
  }
}

// Appends to `cands` every Linked, unvisited neighbour on `level` of the
// first `m` candidates (the pool of the diversity rule).
void expand_one_hop(const Graph& g, uint64_t idx, const float* query, uint64_t level, size_t m,
                    std::vector<ScoredNode>& cands) {
  ExpansionBorrow s;
  const uint64_t n = g.levels.len();
  if (s->marks.size() < n) s->marks.resize(n, 0);
  if (s->epoch == 0xFFFFFFFFu) {
    std::fill(s->marks.begin(), s->marks.end(), 0);
    s->epoch = 1;
  } else {
    ++s->epoch;
  }
  const uint32_t epoch = s->epoch;
  uint32_t* marks = s->marks.data();
  const size_t marks_len = s->marks.size();
  for (const ScoredNode& c : cands)
    if (c.node < marks_len) marks[c.node] = epoch;
  if (idx < marks_len) marks[idx] = epoch;

  const NeighborLayer& layer = g.layer(level);
  s->extra.clear();
  const size_t frontier = std::min(m, cands.size());
  // Lists are scanned in place under their read locks; the next frontier
  // node's list is requested while the current one is scanned.
  for (size_t f = 0; f < frontier; ++f) layer.prefetch_slot(cands[f].node);
  for (size_t f = 0; f < frontier; ++f) {
    uint64_t fn = cands[f].node;
    if (f + 1 < frontier) layer.prefetch(cands[f + 1].node);
    if (!layer.has_slot(fn)) continue;
    layer.read(fn, [&](const uint32_t* items, size_t count) {
      for (size_t j = 0; j < count; ++j) {
        const uint32_t e = items[j];
        if (e >= marks_len || marks[e] == epoch || !is_linked(g, e)) continue;
        marks[e] = epoch;
        s->extra.push_back({e, 0.0f, 0.0f});
      }
    });
  }
  score_all(g, query, s->extra);
  cands.insert(cands.end(), s->extra.begin(), s->extra.end());
}

// First position whose entry e has key < key(n, e); entries without a live
// vector count as not greater. `raws` (when parallel to `list`) holds the
// stored raw scores from n.
size_t backlink_position(const Graph& g, uint64_t n, const std::vector<uint32_t>& list,
                         const std::vector<float>* raws, float key) {
  const float* nv = g.vector(n);
  const size_t dim = static_cast<size_t>(g.dim);
  size_t lo = 0, hi = list.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    uint32_t e = list[mid];
    bool greater = false;
    if (g.live_vector(e)) {
      float raw = raws && e != n ? (*raws)[mid] : score(g.metric, nv, g.vector(e), dim);
      greater = key < sort_key(g.metric, raw);
    }
    if (greater) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

// Inserts idx into n's list on `level` at its key position and, with caps
// on, trims the list, all under n's write lock. `raw_ni` is the raw score
// between n and idx (the candidate's score: the metrics are symmetric).
void add_backlink(Graph& g, uint64_t level, uint64_t n, uint64_t idx, float raw_ni, bool caps) {
  const float key = sort_key(g.metric, raw_ni);
  const uint32_t entry = static_cast<uint32_t>(idx);
  if (level != 0 || !g.neighbor_scores.has_slot(n)) {
    g.layer(level).modify(n, [&](std::vector<uint32_t>& list) {
      list.insert(list.begin() + static_cast<ptrdiff_t>(backlink_position(g, n, list, nullptr, key)), entry);
      if (caps) detail::cap_list_locked(g, level, n, list, nullptr, nullptr);
    });
    return;
  }
  g.layer(0).modify(n, [&](std::vector<uint32_t>& list) {
    g.neighbor_scores.modify(n, [&](std::vector<float>& sc) {
      const bool parallel = sc.size() == list.size();
      size_t pos = backlink_position(g, n, list, parallel ? &sc : nullptr, key);
      list.insert(list.begin() + static_cast<ptrdiff_t>(pos), entry);
      if (parallel) sc.insert(sc.begin() + static_cast<ptrdiff_t>(pos), raw_ni);
      else detail::rebuild_scores(g, n, list, sc);
      if (caps) {
        thread_local std::vector<float> kept_raws;
        detail::CapHint hint{&g.cap_hints.word(n), parallel ? pos : SIZE_MAX};
        if (detail::cap_list_locked(g, 0, n, list, &sc, &kept_raws, &hint)) sc = kept_raws;
      }
    });
  });
}

// Back-links touch one list (level 0: also a score list and a cap hint) of
// each selected node, scattered in memory: their slots are requested for
// all of them first, then each node's blocks one back-link ahead.
void prefetch_backlink_slots(const Graph& g, uint64_t level, std::span<const ScoredNode> cands,
                             std::span<const uint32_t> selected) {
  for (uint32_t p : selected) {
    const uint64_t n = cands[p].node;
    g.layer(level).prefetch_slot(n);
    if (level != 0) continue;
    g.neighbor_scores.prefetch_slot(n);
    g.cap_hints.prefetch(n);
  }
}

void prefetch_backlink_lists(const Graph& g, uint64_t level, uint64_t n) {
  g.layer(level).prefetch(n);
  if (level == 0) g.neighbor_scores.prefetch(n);
}

// Replaces idx's list on `level` with idx + the selected nodes (level 0:
// and its score list), trimming it when caps are on.
void write_own_list(Graph& g, uint64_t level, uint64_t idx, std::span<const ScoredNode> cands,
                    std::span<const uint32_t> selected, bool caps, InsertScratch& s) {
  s.new_list.clear();
  s.new_list.push_back(static_cast<uint32_t>(idx));
  for (uint32_t p : selected)
    if (cands[p].node != idx) s.new_list.push_back(static_cast<uint32_t>(cands[p].node));
  const bool scored = level == 0 && g.neighbor_scores.has_slot(idx);
  g.layer(level).modify(idx, [&](std::vector<uint32_t>& list) {
    list = s.new_list;
    if (!scored) {
      if (caps) detail::cap_list_locked(g, level, idx, list, nullptr, nullptr);
      return;
    }
    // Raw scores from idx are the candidates' own (the query is idx's vector).
    s.new_scores.clear();
    s.new_scores.push_back(0.0f);
    for (uint32_t p : selected)
      if (cands[p].node != idx) s.new_scores.push_back(cands[p].raw);
    if (caps) {
      thread_local std::vector<float> kept_raws;
      if (detail::cap_list_locked(g, 0, idx, list, &s.new_scores, &kept_raws)) s.new_scores = kept_raws;
    }
    g.neighbor_scores.assign(idx, s.new_scores);
  });
}

struct InsertTrace {
  bool on = false;
  uint64_t insert_id = 0;
  Instant start;
};

void emit_layer_event(const Graph& g, const InsertTrace& t, uint64_t point_id, uint64_t level, uint64_t lc,
                      uint64_t current, size_t candidates, std::span<const ScoredNode> cands,
                      std::span<const uint32_t> selected) {
  const uint64_t word = g.entry.load(std::memory_order_acquire);
  InsertTraceEvent e;
  e.insert_id = t.insert_id;
  e.point_id = point_id;
  e.level = level;
  e.current_max_level = entry_level(word);
  e.layer = lc;
  if (entry_index(word) != kNoEntry) e.entry_point = g.point_id(entry_index(word));
  e.current_entry = g.point_id(current);
  e.candidates = candidates;
  e.neighbors = selected.size();
  if (!selected.empty()) e.best_neighbor = g.point_id(cands[selected[0]].node);
  e.elapsed_ms = fractional_ms(t.start, now());
  emit_insert_trace(e);
}

// Steps 8-11 of an insertion: descend, then link idx on each of its levels.
Status link_levels(Graph& g, uint64_t idx, uint64_t point_id, uint64_t level, uint64_t word,
                   const InsertTrace& trace, InsertScratch& s) {
  const uint64_t top = entry_level(word);
  uint64_t cur = entry_index(word);
  // An entry node is Pending only for the moment between its insert raising
  // the entry word and marking itself Linked; a beam cannot start from a
  // Pending node, so wait for it (bounded, in case that insert failed).
  if (g.state(cur) == NodeState::kPending) {
    const Instant give_up = now() + std::chrono::seconds(1);
    while (g.state(cur) == NodeState::kPending && now() < give_up) std::this_thread::yield();
  }
  if (g.deleted.get(cur) != 0) cur = g.best_entry_candidate().value_or(idx);
  const std::span<const float> query(s.prepared);
  for (uint64_t lc = top; lc > level; --lc) cur = greedy_step_down(g, query, cur, lc);

  const bool caps = tuning::enforce_neighbor_caps();
  SearchOptions options;
  options.expansion_mult = 1;
  const ResolvedOptions resolved = resolve_options(options, query);
  const MetricTraits traits = MetricTraits::of(g.metric);
  for (uint64_t lc = level + 1; lc-- > 0;) {
    const uint64_t seed = cur;
    s.cands.clear();
    const SearchRequest req{query, static_cast<size_t>(g.ef_construction), &resolved, traits};
    ULMORA_TRY(search_layer(g, req, std::span<const uint64_t>(&seed, 1), lc, s.cands));
    detail::sort_by_key(s.cands);
    const size_t m_level = static_cast<size_t>(lc == 0 ? g.m0 : g.m);
    const size_t sorted = s.cands.size();
    expand_one_hop(g, idx, query.data(), lc, m_level, s.cands);
    detail::sort_tail_and_merge(s.cands, sorted);
    detail::select_positions(g, s.cands, m_level, lc, s.selected);
    write_own_list(g, lc, idx, s.cands, s.selected, caps, s);
    prefetch_backlink_slots(g, lc, s.cands, s.selected);
    for (size_t j = 0; j < s.selected.size(); ++j) {
      if (j + 1 < s.selected.size()) prefetch_backlink_lists(g, lc, s.cands[s.selected[j + 1]].node);
      const uint64_t n = s.cands[s.selected[j]].node;
      if (n == idx || !g.live_vector(n)) continue;
      add_backlink(g, lc, n, idx, s.cands[s.selected[j]].raw, caps);
    }
    if (!s.selected.empty()) cur = s.cands[s.selected[0]].node;
    if (trace.on) emit_layer_event(g, trace, point_id, level, lc, cur, s.cands.size(), s.cands, s.selected);
  }

  // Raise the entry point; a concurrent insert may already have gone higher.
  if (level > top) {
    uint64_t w = g.entry.load(std::memory_order_acquire);
    while (level > entry_level(w) &&
           !g.entry.compare_exchange_weak(w, pack_entry(level, idx), std::memory_order_acq_rel)) {
    }
  }
  return Status::Ok();
}

}  // namespace

namespace testing {
void set_level_source(uint64_t (*source)(uint64_t point_id)) {
  g_level_source.store(source, std::memory_order_relaxed);
}
}  // namespace testing

Status Graph::insert(uint64_t point_id, std::span<const float> vec) {
  if (vec.size() != dim) return StoreError::VectorLengthMismatch(dim, vec.size());
  InsertTrace trace;
  trace.insert_id = g_insert_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  if (insert_trace_enabled() && trace.insert_id % tuning::diagnostics().trace_every == 0) {
    trace.on = true;
    trace.start = now();
  }
  uint64_t (*source)(uint64_t) = g_level_source.load(std::memory_order_relaxed);
  const uint64_t drawn = source        ? std::min(source(point_id), level_cap)
                         : level_seed  ? level_of(seeded_unit(*level_seed, point_id), level_scale, level_cap)
                                       : level_of(thread_random_unit(), level_scale, level_cap);
  const uint64_t level = std::min<uint64_t>(drawn, layers.size() - 1);
  InsertScratch& s = insert_scratch();
  prepare(metric, vec, s.prepared);

  // Allocation: one slot in every column, in a fixed order, under alloc.
  uint64_t idx;
  {
    std::lock_guard<std::mutex> lock(alloc);
    if (id_to_index.find(point_id)) return Status::Ok();
    idx = count;
    if (idx > kMaxNodeIndex) return StoreError::MemoryCapExceeded("node index space exhausted");
    vectors.push(s.prepared.data());
    levels.push(static_cast<uint8_t>(level));
    deleted.push(0);
    neighbor_scores.push_empty();
    node_states.push(static_cast<uint8_t>(NodeState::kPending));
    point_ids.push(point_id);
    for (auto& l : layers) l->push_empty();
    id_to_index.insert(point_id, idx);
    count = idx + 1;
    published_count.store(idx + 1, std::memory_order_release);
  }
  for (uint64_t l = 0; l <= level; ++l)
    layer(l).modify(idx, [&](std::vector<uint32_t>& list) { list.push_back(static_cast<uint32_t>(idx)); });

  // The first node of an empty graph becomes the entry point (once, by CAS).
  uint64_t word = entry.load(std::memory_order_acquire);
  while (entry_index(word) == kNoEntry) {
    if (entry.compare_exchange_weak(word, pack_entry(level, idx), std::memory_order_acq_rel)) {
      node_states.set(idx, static_cast<uint8_t>(NodeState::kLinked));
      return Status::Ok();
    }
  }
  ULMORA_TRY(link_levels(*this, idx, point_id, level, word, trace, s));
  node_states.set(idx, static_cast<uint8_t>(NodeState::kLinked));
  return Status::Ok();
}

}  // namespace ulmora::hnsw
