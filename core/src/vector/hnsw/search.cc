// The query path from the top: greedy descent through the upper levels,
// entry seeds, the level-0 beam (or the exact scan for small indexes), the
// adaptive rerun, and the final ordering by key then point id.
#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "base/log.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/config.h"

namespace ulmora::hnsw {
namespace {

constexpr unsigned kGreedyMaxPasses = 1000;
std::atomic<uint64_t> g_search_ids{0};

// Ascending key, equal keys by ascending point id (node holds the point id).
bool final_less(const ScoredNode& a, const ScoredNode& b) {
  if (a.key != b.key) return a.key < b.key;
  return a.node < b.node;
}

// The best k of `list` (node = point id) into `out`, fully ordered.
void keep_best(std::vector<ScoredNode>& list, size_t k, std::vector<ScoredNode>& out) {
  out.resize(std::min(k, list.size()));
  std::partial_sort_copy(list.begin(), list.end(), out.begin(), out.end(), final_less);
}

// Level-0 seeds: the descent's node, or the best nodes of a level-1 beam of
// width "entry seeds" when more than one seed is asked for. That beam runs
// with default options but a single expansion multiple.
Status entry_seeds(const Graph& g, const SearchRequest& req, uint64_t start, uint64_t top_level,
                   std::vector<uint64_t>& seeds) {
  seeds.assign(1, start);
  const std::optional<size_t> wanted = req.options->entry_seeds;
  if (!wanted || *wanted <= 1 || top_level == 0) return Status::Ok();
  SearchOptions seed_options;
  seed_options.expansion_mult = 1;
  const ResolvedOptions resolved = resolve_options(seed_options, req.query);
  SearchRequest seed_req{req.query, *wanted, &resolved, req.traits};
  std::vector<ScoredNode>& list = query_scratch().seed_list;
  ULMORA_TRY(search_layer(g, seed_req, std::span<const uint64_t>(&start, 1), 1, list));
  seeds.clear();
  for (size_t i = 0; i < list.size() && i < *wanted; ++i) seeds.push_back(list[i].node);
  return Status::Ok();
}

// A wider second level-0 run when the first one's best key is above the
// threshold; its list wins only with a strictly better best key.
Status adaptive_rerun(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds,
                      std::vector<ScoredNode>& first, std::vector<ScoredNode>& second) {
  const std::optional<size_t> high = req.options->adaptive_ef_high;
  const std::optional<float> threshold = req.options->adaptive_ef_threshold;
  if (!high || !threshold) return Status::Ok();
  const float best = first.empty() ? kMaxFinite : first.front().key;
  if (!(best > *threshold) || *high <= req.ef) return Status::Ok();
  SearchRequest wide{req.query, *high, req.options, req.traits};
  ULMORA_TRY(search_level0(g, wide, seeds, second));
  if (!second.empty() && second.front().key < best) first.swap(second);
  return Status::Ok();
}

// The greedy descent from the entry word to level 1, then the level-0 seeds.
Status descend_and_seed(const Graph& g, const SearchRequest& req, uint64_t word, std::vector<uint64_t>& seeds) {
  uint64_t current = entry_index(word);
  for (uint64_t level = entry_level(word); level >= 1; --level) current = greedy_step_down(g, req.query, current, level);
  return entry_seeds(g, req, current, entry_level(word), seeds);
}

// After the level-0 search: the adaptive rerun, point ids, the best k.
Status finish(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds, size_t k,
              std::vector<ScoredNode>& first, std::vector<ScoredNode>& second, std::vector<ScoredNode>& out) {
  ULMORA_TRY(adaptive_rerun(g, req, seeds, first, second));
  for (ScoredNode& node : first) node.node = g.point_id(node.node);
  keep_best(first, k, out);
  return Status::Ok();
}

uint64_t live_count(const Graph& g) {
  uint64_t n = g.published_len(), gone = g.deleted_count.load(std::memory_order_relaxed);
  return n > gone ? n - gone : 0;
}

void greedy_limit_warning(uint64_t level, uint64_t cur) {
  ULMORA_LOG(log::Level::kWarn, "vector::hnsw",
             "[GREEDY] Reached max steps at level " + std::to_string(level) + ", current = " + std::to_string(cur));
}

}  // namespace

uint64_t greedy_step_down(const Graph& g, std::span<const float> query, uint64_t start, uint64_t level) {
  const uint64_t n = g.published_len();
  if (level >= g.layer_count() || start >= n) return start;
  thread_local std::vector<uint32_t> list;
  const Scorer scorer(MetricTraits::of(g.metric), query.data(), std::min<size_t>(g.dim, query.size()));
  const NeighborLayer& lay = g.layer(level);
  uint64_t cur = start;
  float cur_key = scorer.key(scorer.raw(g.vector(cur)));
  for (unsigned pass = 0; pass < kGreedyMaxPasses; ++pass) {
    std::span<const uint32_t> view;
    if (g.frozen) {
      view = lay.view_unlocked(cur);
    } else {
      lay.read(cur, [&](const uint32_t* items, size_t count) { list.assign(items, items + count); });
      view = list;
    }
    bool moved = false;
    for (uint32_t e : view) {
      if (e >= n || g.state(e) != NodeState::kLinked) continue;
      float k = scorer.key(scorer.raw(g.vector(e)));
      if (k < cur_key) {
        cur = e;
        cur_key = k;
        moved = true;
        break;
      }
    }
    if (!moved) return cur;
  }
  greedy_limit_warning(level, cur);
  return cur;
}

void exact_scan(const Graph& g, std::span<const float> query, std::vector<ScoredNode>& out) {
  out.clear();
  const uint64_t n = g.published_len();
  const Scorer scorer(MetricTraits::of(g.metric), query.data(), std::min<size_t>(g.dim, query.size()));
  const float* ptrs[kBatch];
  uint64_t idx[kBatch];
  float raws[kBatch];
  size_t count = 0;
  auto flush = [&] {
    scorer.raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) out.push_back(ScoredNode{g.point_id(idx[j]), raws[j], scorer.key(raws[j])});
    count = 0;
  };
  for (uint64_t i = 0; i < n; ++i) {
    if (g.deleted.get(i) != 0) continue;
    idx[count] = i;
    ptrs[count++] = g.vector(i);
    if (count == kBatch) flush();
  }
  if (count) flush();
}

Status Graph::search(std::span<const float> query, size_t k, const SearchOptions& options,
                     std::vector<ScoredNode>& out) const {
  out.clear();
  const uint64_t word = entry.load(std::memory_order_acquire);
  if (entry_index(word) == kNoEntry) return Status::Ok();
  if (query.size() != dim) return StoreError::VectorLengthMismatch(dim, query.size());

  QueryScratch& qs = query_scratch();
  prepare(metric, query, qs.prepared);
  const std::span<const float> q(qs.prepared);
  const bool stats_on = unfiltered_stats_enabled();
  const TraceIndexInfo info{metric_name(metric), exact_fallback_enabled, exact_fallback_threshold};

  std::optional<TraceContext> trace;
  const uint64_t live = search_trace_enabled() || exact_fallback_enabled ? live_count(*this) : 0;
  const bool exact = exact_fallback_enabled && live <= exact_fallback_threshold;
  if (search_trace_enabled()) {
    trace.emplace();
    trace->search_id = g_search_ids.fetch_add(1, std::memory_order_relaxed) + 1;
    trace->every = tuning::diagnostics().trace_every;
    trace->start = now();
    emit_search_trace(search_start_event(*trace, info, k, live, exact));
  }

  if (exact) {
    exact_scan(*this, q, qs.first);
    keep_best(qs.first, k, out);
    if (trace) emit_search_trace(exact_scan_event(*trace, info, k, live, out.data(), out.size()));
    return Status::Ok();
  }

  const ResolvedOptions resolved = resolve_options(options, q);
  SearchCounters counters;
  const SearchRequest req{q, std::max<size_t>(options.ef.value_or(ef_search), k), &resolved,
                          MetricTraits::of(metric), stats_on ? &counters : nullptr, trace ? &*trace : nullptr};
  ULMORA_TRY(descend_and_seed(*this, req, word, qs.seeds));
  ULMORA_TRY(search_level0(*this, req, qs.seeds, qs.first));
  ULMORA_TRY(finish(*this, req, qs.seeds, k, qs.first, qs.second, out));
  if (stats_on) {
    float best = out.empty() ? 0.0f : out.front().key;
    float worst = out.empty() ? 0.0f : out.back().key;
    record_unfiltered_stats(req.ef, counters.visited, counters.expanded, best, worst);
  }
  return Status::Ok();
}

}  // namespace ulmora::hnsw

namespace ulmora::hnsw {
namespace {

constexpr size_t kInterleaveMaxVectorBytes = 1024;

// Per-thread buffers of a query group: one beam scratch per query besides
// the thread's own (which the adaptive rerun and the seed beam still use).
struct GroupScratch {
  bool in_use = false;
  SearchScratch beams[kSearchGroup];
  std::vector<float> prepared[kSearchGroup];
  std::vector<uint64_t> seeds[kSearchGroup];
  std::vector<ScoredNode> first[kSearchGroup];
  std::vector<ScoredNode> second;
  std::vector<uint32_t> lists[kSearchGroup];  // list copies of the descents on a live graph
};

GroupScratch& group_scratch() {
  thread_local GroupScratch scratch;
  return scratch;
}

// One query's greedy descent as a walk that can stop after any neighbour:
// the same passes, order and comparisons as greedy_step_down, level by
// level, so it ends on the same node. Between steps it asks for what it
// reads next (a vector, a list slot, a list), and the group's other walks
// take their turn while that loads.
class DescentWalk {
 public:
  DescentWalk(const Graph& g, const SearchRequest& req, uint64_t word, std::vector<uint32_t>& copy)
      : g_(g), n_(g.published_len()), scorer_(MetricTraits::of(g.metric), req.query.data(),
                                             std::min<size_t>(g.dim, req.query.size())),
        copy_(copy), cur_(entry_index(word)), level_(entry_level(word)) {
    start_level();
  }
  bool done() const { return phase_ == Phase::kDone; }
  uint64_t node() const { return cur_; }

  void step() {
    switch (phase_) {
      case Phase::kSlot:  // the slot has arrived: now the list itself
        g_.layer(level_).prefetch(cur_);
        phase_ = Phase::kList;
        break;
      case Phase::kList:
        load_list();
        break;
      case Phase::kScan:
        scan_one();
        break;
      case Phase::kDone:
        break;
    }
  }

 private:
  enum class Phase { kSlot, kList, kScan, kDone };

  // Levels the walk skips (beyond the layers, or a start past the nodes)
  // cost nothing; a level it walks starts from the current node's score.
  void start_level() {
    while (level_ >= 1 && (level_ >= g_.layer_count() || cur_ >= n_)) --level_;
    if (level_ < 1) {
      phase_ = Phase::kDone;
      return;
    }
    cur_key_ = scorer_.key(scorer_.raw(g_.vector(cur_)));
    pass_ = 0;
    request_list();
  }
  void request_list() {
    g_.layer(level_).prefetch_slot(cur_);
    phase_ = Phase::kSlot;
  }
  void load_list() {
    const NeighborLayer& lay = g_.layer(level_);
    if (g_.frozen) {
      view_ = lay.view_unlocked(cur_);
    } else {
      lay.read(cur_, [&](const uint32_t* items, size_t count) { copy_.assign(items, items + count); });
      view_ = copy_;
    }
    pos_ = 0;
    phase_ = Phase::kScan;
    request_next();
  }
  // Skips to the next neighbour that can be scored and asks for its vector.
  void request_next() {
    while (pos_ < view_.size() && (view_[pos_] >= n_ || g_.state(view_[pos_]) != NodeState::kLinked)) ++pos_;
    // The first eight lines: all of a 128-dimension vector; more did not
    // pay at 784 dimensions.
    if (pos_ < view_.size()) prefetch_bytes(g_.vector(view_[pos_]), g_.dim * sizeof(float), 512);
  }
  void scan_one() {
    if (pos_ == view_.size()) {  // no better neighbour: this level is done
      --level_;
      start_level();
      return;
    }
    const uint32_t e = view_[pos_++];
    const float k = scorer_.key(scorer_.raw(g_.vector(e)));
    if (k < cur_key_) {
      cur_ = e;
      cur_key_ = k;
      if (++pass_ < kGreedyMaxPasses) {
        request_list();
        return;
      }
      greedy_limit_warning(level_, cur_);
      --level_;
      start_level();
      return;
    }
    request_next();
  }

  const Graph& g_;
  const uint64_t n_;
  const Scorer scorer_;
  std::vector<uint32_t>& copy_;
  uint64_t cur_;
  uint64_t level_;
  float cur_key_ = 0.0f;
  unsigned pass_ = 0;
  std::span<const uint32_t> view_;
  size_t pos_ = 0;
  Phase phase_ = Phase::kDone;
};

// The greedy descents of a group's queries, one step of each in turn.
void descend_group(const Graph& g, const SearchRequest* reqs, size_t count, uint64_t word, GroupScratch& gs,
                   uint64_t* nodes) {
  std::optional<DescentWalk> walks[kSearchGroup];
  size_t running = 0;
  for (size_t i = 0; i < count; ++i) {
    walks[i].emplace(g, reqs[i], word, gs.lists[i]);
    running += !walks[i]->done();
  }
  while (running > 0) {
    for (size_t i = 0; i < count; ++i) {
      if (walks[i]->done()) continue;
      walks[i]->step();
      running -= walks[i]->done();
    }
  }
  for (size_t i = 0; i < count; ++i) nodes[i] = walks[i]->node();
}

// Level-0 float beams of the group, advanced one node expansion at a time
// in turn: while one beam's freshly admitted vectors load, the others admit
// and score theirs.
void interleave_level0(const Graph& g, const SearchRequest* reqs, size_t count, GroupScratch& gs) {
  const uint64_t n = g.published_len();
  std::optional<Beam> beams[kSearchGroup];
  std::optional<Scorer> scorers[kSearchGroup];
  BeamSettings settings[kSearchGroup];
  bool live[kSearchGroup] = {}, stepped[kSearchGroup] = {};
  size_t running = 0;
  for (size_t i = 0; i < count; ++i) {
    settings[i] = float_beam_settings(g, reqs[i], 0);
    beams[i].emplace(g, gs.beams[i], n, 0);
    scorers[i].emplace(reqs[i].traits, reqs[i].query.data(), g.dim);
    beams[i]->use_scorer(&*scorers[i]);
    live[i] = beams[i]->seed(gs.seeds[i], SeedFallback::kLowestLinked);
    running += live[i];
  }
  while (running > 0) {
    for (size_t i = 0; i < count; ++i) {
      stepped[i] = live[i] && beams[i]->step_admit(settings[i]);
      if (live[i] && !stepped[i]) live[i] = false, --running;
    }
    for (size_t i = 0; i < count; ++i) {
      if (stepped[i] && !beams[i]->step_score(settings[i])) live[i] = false, --running;
    }
  }
  for (size_t i = 0; i < count; ++i) beams[i]->take_results(gs.first[i]);
}

}  // namespace

Status Graph::search_group(std::span<const float> queries, size_t count, size_t k, const SearchOptions& options,
                           std::vector<ScoredNode>* outs, size_t* failed) const {
  auto one_by_one = [&]() -> Status {
    const size_t row = count ? queries.size() / count : 0;
    for (size_t i = 0; i < count; ++i) {
      Status st = search(queries.subspan(i * row, row), k, options, outs[i]);
      if (!st.ok()) {
        *failed = i;
        return st;
      }
    }
    return Status::Ok();
  };
  const uint64_t word = entry.load(std::memory_order_acquire);
  GroupScratch& gs = group_scratch();
  const bool grouped = count > 1 && count <= kSearchGroup && !gs.in_use && queries.size() == count * dim &&
                       entry_index(word) != kNoEntry && !unfiltered_stats_enabled() && !search_trace_enabled() &&
                       !(exact_fallback_enabled && live_count(*this) <= exact_fallback_threshold);
  if (!grouped) return one_by_one();
  gs.in_use = true;
  struct Release {
    GroupScratch& gs;
    ~Release() { gs.in_use = false; }
  } release{gs};

  ResolvedOptions resolved[kSearchGroup];
  SearchRequest reqs[kSearchGroup];
  const size_t ef = std::max<size_t>(options.ef.value_or(ef_search), k);
  for (size_t i = 0; i < count; ++i) {
    prepare(metric, queries.subspan(i * dim, dim), gs.prepared[i]);
    const std::span<const float> q(gs.prepared[i]);
    resolved[i] = resolve_options(options, q);
    reqs[i] = SearchRequest{q, ef, &resolved[i], MetricTraits::of(metric)};
  }
  // Narrow vectors interleave the descents for every route, and the level-0
  // beams too when they are plain float beams. Wide vectors already keep the
  // memory system busy with one walk or beam: four beams' worth of them only
  // crowd the caches (measured slower at 784 dimensions, faster at 128), and
  // their descents interleave only on the SQ8 route, where that was measured
  // faster (1.11x at 784) while the float beam was not.
  const bool narrow = dim * sizeof(float) <= kInterleaveMaxVectorBytes;
  const bool sq8 = takes_sq8_route(*this, resolved[0]);
  if (!narrow && !sq8) return one_by_one();
  uint64_t starts[kSearchGroup];
  descend_group(*this, reqs, count, word, gs, starts);
  for (size_t i = 0; i < count; ++i) {
    if (!entry_seeds(*this, reqs[i], starts[i], entry_level(word), gs.seeds[i]).ok()) return one_by_one();
  }
  const bool interleave = narrow && !sq8 && float_beam_settings(*this, reqs[0], 0).scan == ScanKind::kPlain;
  if (interleave) {
    interleave_level0(*this, reqs, count, gs);
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (!search_level0(*this, reqs[i], gs.seeds[i], gs.first[i]).ok()) return one_by_one();
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (!finish(*this, reqs[i], gs.seeds[i], k, gs.first[i], gs.second, outs[i]).ok()) return one_by_one();
  }
  return Status::Ok();
}

}  // namespace ulmora::hnsw
