// Search restricted to a subset of nodes: the exact scan of the subset and
// the filtered level-0 walk (HnswIndex::scan_subset, walk_subset).
//
// The walk keeps nodes outside the subset navigable: they enter the
// candidate queue like any other node, but only subset nodes enter the
// results. When nearly all of a node's neighbours are outside the subset,
// the walk also reads the lists of those too far to be queued and admits
// the subset nodes it finds there (two hops), so a sparse subset is still
// reached through the graph. Filter edges, where the segment made them, are ordinary level-0
// links and are followed like the others.
#include <algorithm>
#include <bit>

#include "vector/hnsw/beam.h"

namespace ulmora::hnsw {
namespace {

bool final_less(const ScoredNode& a, const ScoredNode& b) {
  if (a.key != b.key) return a.key < b.key;
  return a.node < b.node;
}

// Per-thread buffers of the filtered paths (beside the beam's scratch).
struct SubsetScratch {
  std::vector<ScoredNode> best;  // the scan's bounded heap, the walk's results
  std::vector<uint32_t> list;    // list copies on a graph that is not frozen
  std::vector<uint32_t> hop;
  std::vector<uint32_t> outside;  // an expansion's new neighbours outside the subset
  std::vector<uint32_t> around;   // the probe's first ring of neighbours
};

SubsetScratch& subset_scratch() {
  thread_local SubsetScratch scratch;
  return scratch;
}

// Keeps the best k by (key, point id) in a max-heap; sorted at the end.
class BestK {
 public:
  BestK(std::vector<ScoredNode>& heap, size_t k) : heap_(heap), k_(k) { heap_.clear(); }
  void offer(const ScoredNode& x) {
    if (heap_.size() < k_) {
      heap_.push_back(x);
      std::push_heap(heap_.begin(), heap_.end(), final_less);
    } else if (k_ > 0 && final_less(x, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), final_less);
      heap_.back() = x;
      std::push_heap(heap_.begin(), heap_.end(), final_less);
    }
  }
  void finish(std::vector<ScoredNode>& out) {
    std::sort_heap(heap_.begin(), heap_.end(), final_less);
    out.assign(heap_.begin(), heap_.end());
  }

 private:
  std::vector<ScoredNode>& heap_;
  size_t k_;
};

Status check_query(const Graph& g, std::span<const float> query) {
  if (query.size() != g.dim) return StoreError::VectorLengthMismatch(g.dim, query.size());
  return Status::Ok();
}

// Scores nodes in batches of kBatch into a BestK (node field = point id).
class ScanBatch {
 public:
  ScanBatch(const Graph& g, const Scorer& scorer, BestK& best) : g_(g), scorer_(scorer), best_(best) {}
  void add(uint64_t node) {
    idx_[count_] = node;
    ptrs_[count_++] = g_.vector(node);
    if (count_ == kBatch) flush();
  }
  void flush() {
    float raws[kBatch];
    scorer_.raw_many(ptrs_, count_, raws);
    for (size_t j = 0; j < count_; ++j) best_.offer(ScoredNode{g_.point_id(idx_[j]), raws[j], scorer_.key(raws[j])});
    count_ = 0;
  }

 private:
  const Graph& g_;
  const Scorer& scorer_;
  BestK& best_;
  const float* ptrs_[kBatch];
  uint64_t idx_[kBatch];
  size_t count_ = 0;
};

// Code-space scores for a walk on the SQ8 route: a signed-byte query code
// (Cosine) or a 16-bit one, over the graph's code rows.
struct WalkCodes {
  const int16_t* code16 = nullptr;
  const int8_t* code8 = nullptr;
  const uint8_t* rows = nullptr;
  uint64_t row_count = 0;
  size_t dim = 0;
  int32_t one(uint64_t i) const {
    const kernels::KernelTable& k = kernels::active();
    return code8 ? k.sq8_dot_i8(rows + i * dim, code8, dim) : k.sq8_neg_l2_i16(rows + i * dim, code16, dim);
  }
  void four(const uint64_t* idx, int32_t* out) const {
    const kernels::KernelTable& k = kernels::active();
    const uint8_t* r[4] = {rows + idx[0] * dim, rows + idx[1] * dim, rows + idx[2] * dim, rows + idx[3] * dim};
    if (code8) k.sq8_dot_i8_x4(r, code8, dim, out);
    else k.sq8_neg_l2_i16_x4(r, code16, dim, out);
  }
};

// One filtered level-0 walk over the thread's beam scratch.
class SubsetWalk {
 public:
  SubsetWalk(const Graph& g, SearchScratch& s, SubsetScratch& ss, const Scorer& scorer, const NodeSubset& subset,
             size_t ef, uint64_t budget, const WalkCodes* codes, bool patient)
      : g_(g), s_(s), ss_(ss), scorer_(scorer), subset_(subset), codes_(codes), patient_(patient),
        n_(codes ? std::min<uint64_t>(g.published_len(), codes->row_count) : g.published_len()), ef_(ef),
        budget_(budget), layer_(g.layer_count() > 0 ? &g.layer(0) : nullptr) {
    if (s_.visited.size() < n_) s_.visited.resize(n_, 0);
    if (s_.visited_epoch == 255) {
      std::fill(s_.visited.begin(), s_.visited.end(), 0);
      s_.visited_epoch = 1;
    } else {
      ++s_.visited_epoch;
    }
    epoch_ = s_.visited_epoch;
    s_.candidates.clear();
    s_.results.clear();
  }

  void run(uint64_t start, WalkCounters& c) {
    if (admissible(start)) {
      mark(start);
      batch_[count_++] = start;
      flush();
    }
    // Patience: with the results full, the walk also stops after this many
    // expansions in a row that admitted no match. Without it, a walk keeps
    // expanding every non-matching node nearer than its worst result, which
    // at 10-30% of points scored 2-3x the nodes for recall it did not need
    // (bench/history/filtered.md); a wider beam brings the recall back.
    // Not where the query's neighbourhood matches far less than the whole
    // graph (a filter that excludes the query's own kind): there the walk
    // must cross non-matching ground, admitting nothing for a while.
    const size_t patience = patient_ ? std::max<size_t>(4, ef_ / 4) : SIZE_MAX;
    size_t stall = 0;
    while (!s_.candidates.empty() && !c.over_budget) {
      const ScoredNode current = s_.candidates.pop();
      if (s_.results.size() >= ef_ && current.key > worst_) break;
      const uint64_t admitted = admitted_;
      expand(current.node, c);
      c.over_budget = visited_ > budget_;
      if (s_.results.size() >= ef_) {
        stall = admitted_ == admitted ? stall + 1 : 0;
        if (stall > patience) break;
      }
    }
    c.visited = visited_;
  }

  // The results, ascending by key (node = node index).
  void take_results(std::vector<ScoredNode>& out) {
    s_.results.sort_ascending();
    out.assign(s_.results.data().begin(), s_.results.data().end());
  }

 private:
  bool admissible(uint64_t i) const {
    return i < n_ && s_.visited[i] != epoch_ && g_.state(i) == NodeState::kLinked;
  }
  void mark(uint64_t i) {
    s_.visited[i] = epoch_;
    ++visited_;
  }

  std::span<const uint32_t> list_of(uint64_t node, std::vector<uint32_t>& copy) const {
    if (!layer_) return {};
    if (g_.frozen) return layer_->view_unlocked(node);
    layer_->read(node, [&](const uint32_t* items, size_t count) { copy.assign(items, items + count); });
    return copy;
  }

  void expand(uint64_t node, WalkCounters& c) {
    ++c.expanded;
    const std::span<const uint32_t> list = list_of(node, ss_.list);
    size_t inside = 0, present = 0;
    ss_.outside.clear();
    collecting_ = true;
    for (uint32_t e : list) {
      if (e >= n_) continue;
      ++present;
      inside += subset_.contains(e);
      if (!admissible(e)) continue;
      mark(e);
      if (codes_) __builtin_prefetch(codes_->rows + e * codes_->dim);
      else prefetch_bytes(g_.vector(e), g_.dim * sizeof(float), 256);
      add(e);
    }
    flush();
    collecting_ = false;
    if (16 * inside < present && !ss_.outside.empty()) {
      ++c.two_hop;
      two_hops();
      flush();
    }
  }

  // Called when fewer than one in sixteen of a node's neighbours are in the
  // subset (one in eight fired at 10% of points on Fashion-MNIST and cost
  // 10-30% of the walk's speed for no recall, bench/history/filtered.md): the subset nodes in the lists of its new neighbours that are
  // outside the subset and too far to enter the queue, which the walk would
  // otherwise lose. At most m lists and m0 nodes per expansion. While the
  // results are short every neighbour enters the queue, so this starts once
  // the beam is full. (Measured: a second hop at every node with most
  // neighbours outside doubled the nodes scored at 20-50% selectivity for
  // no recall; bench/history/filter_crossover.md.)
  void two_hops() {
    size_t added = 0, lists = 0;
    for (uint32_t e : ss_.outside) {
      if (++lists > g_.m) return;
      for (uint32_t f : list_of(e, ss_.hop)) {
        if (f >= n_ || !subset_.contains(f) || !admissible(f)) continue;
        mark(f);
        add(f);
        if (++added >= g_.m0) return;
      }
    }
  }

  void add(uint64_t i) {
    batch_[count_++] = i;
    if (count_ == kBatch) flush();
  }

  void flush() {
    if (codes_) return flush_codes();
    const float* ptrs[kBatch];
    float raws[kBatch];
    for (size_t j = 0; j < count_; ++j) ptrs[j] = g_.vector(batch_[j]);
    scorer_.raw_many(ptrs, count_, raws);
    for (size_t j = 0; j < count_; ++j) offer(ScoredNode{batch_[j], raws[j], scorer_.key(raws[j])});
    count_ = 0;
  }
  // Code scores keep the integer's bits in `raw`, as the SQ8 beam does.
  void flush_codes() {
    int32_t scores[kBatch];
    size_t j = 0;
    for (; j + 4 <= count_; j += 4) codes_->four(batch_ + j, scores + j);
    for (; j < count_; ++j) scores[j] = codes_->one(batch_[j]);
    for (j = 0; j < count_; ++j)
      offer(ScoredNode{batch_[j], std::bit_cast<float>(scores[j]), -static_cast<float>(scores[j])});
    count_ = 0;
  }

  // Every node better than the worst result (or any, while the results are
  // short) stays navigable; only subset nodes become results.
  void offer(const ScoredNode& x) {
    if (!(s_.results.size() < ef_ || x.key < worst_)) {
      if (collecting_ && !subset_.contains(x.node)) ss_.outside.push_back(static_cast<uint32_t>(x.node));
      return;
    }
    s_.candidates.push(x);
    if (!subset_.contains(x.node)) return;
    s_.results.push(x);
    ++admitted_;
    if (s_.results.size() > ef_) s_.results.pop();
    if (s_.results.size() >= ef_) worst_ = s_.results.top().key;
  }

  const Graph& g_;
  SearchScratch& s_;
  SubsetScratch& ss_;
  const Scorer& scorer_;
  const NodeSubset& subset_;
  const WalkCodes* codes_;
  const bool patient_;
  const uint64_t n_;
  const size_t ef_;
  const uint64_t budget_;
  const NeighborLayer* layer_;
  uint8_t epoch_ = 0;
  bool collecting_ = false;  // offers note the rejected neighbours outside the subset
  uint64_t visited_ = 0;
  uint64_t admitted_ = 0;
  float worst_ = kInf;
  uint64_t batch_[kBatch];
  size_t count_ = 0;
};

// The greedy descent from the entry point to level 1 (unfiltered: every
// node guides it).
uint64_t descend(const Graph& g, std::span<const float> q, uint64_t word) {
  uint64_t current = entry_index(word);
  for (uint64_t level = entry_level(word); level >= 1; --level) current = greedy_step_down(g, q, current, level);
  return current;
}

// Matching nodes among those sampled around the query.
struct ShareSample {
  double inside = 0, present = 0;
  // Smoothed by two samples of the global share.
  double share(double global_share) const { return (inside + 2 * global_share) / (present + 2); }
};

// Counts `node`'s level-0 list into `s` (`copy` holds it on a graph that
// is not frozen); `then` is called with each entry.
template <class F>
void sample_list(const Graph& g, const NodeSubset& subset, uint64_t node, std::vector<uint32_t>& copy,
                 ShareSample& s, F&& then) {
  std::span<const uint32_t> list;
  if (g.frozen) {
    list = g.layer(0).view_unlocked(node);
  } else {
    g.layer(0).read(node, [&](const uint32_t* items, size_t n) { copy.assign(items, items + n); });
    list = copy;
  }
  for (uint32_t e : list) {
    s.present += 1;
    s.inside += subset.contains(e) ? 1 : 0;
    then(e);
  }
}

// The subset's share around the start: the probe of WalkLimits. A filter
// correlated with the query (its own category) walks at shares where an
// unrelated one of the same size scans. The start and its level-0
// neighbours first; when they would choose otherwise than the global share
// does, their neighbours too (a few hundred samples, no distances): among
// 32 nodes at a share of 3%, none matches a third of the time and one
// chance hit at 1% reads as 3%, and each would choose the slower route.
template <class Walks>
double local_share(const Graph& g, const NodeSubset& subset, uint64_t start, double global_share, SubsetScratch& ss,
                   const Walks& walks) {
  if (g.layer_count() == 0) return global_share;
  ShareSample near;
  near.present = 1;
  near.inside = subset.contains(start) ? 1 : 0;
  ss.around.clear();
  sample_list(g, subset, start, ss.list, near, [&](uint32_t e) { ss.around.push_back(e); });
  const double one_hop = near.share(global_share);
  if (walks(one_hop) == walks(global_share)) return one_hop;
  const uint64_t n = g.published_len();
  for (uint32_t e : ss.around) {
    if (e < n) sample_list(g, subset, e, ss.list, near, [](uint32_t) {});
  }
  return near.share(global_share);
}

}  // namespace

Status HnswIndex::scan_subset(std::span<const float> query, size_t k, const NodeSubset& subset,
                              std::vector<ScoredNode>& out) const {
  out.clear();
  const Graph& g = *graph_;
  ULMORA_TRY(check_query(g, query));
  QueryScratch& qs = query_scratch();
  prepare(g.metric, query, qs.prepared);
  const Scorer scorer(MetricTraits::of(g.metric), qs.prepared.data(), g.dim);
  SubsetScratch& ss = subset_scratch();
  BestK best(ss.best, k);
  ScanBatch batch(g, scorer, best);
  const uint64_t n = g.published_len();
  auto visit = [&](uint64_t node) {
    if (node < n && g.deleted.get(node) == 0) batch.add(node);
  };
  if (subset.is_bitmap && subset.nodes.empty()) {
    for (uint64_t w = 0; w < subset.words.size(); ++w) {
      for (uint64_t bits = subset.words[w]; bits != 0; bits &= bits - 1) visit(w * 64 + __builtin_ctzll(bits));
    }
  } else {
    for (uint64_t node : subset.nodes) visit(node);
  }
  batch.flush();
  best.finish(out);
  return Status::Ok();
}

Status HnswIndex::walk_subset(std::span<const float> query, size_t k, const SearchOptions& options,
                              const NodeSubset& subset, const WalkLimits& limits, WalkCounters* counters,
                              std::vector<ScoredNode>& out) const {
  out.clear();
  WalkCounters local;
  WalkCounters& c = counters ? *counters : local;
  c = WalkCounters{};
  const Graph& g = *graph_;
  ULMORA_TRY(check_query(g, query));
  const uint64_t word = g.entry.load(std::memory_order_acquire);
  if (entry_index(word) == kNoEntry || k == 0) return Status::Ok();
  QueryScratch& qs = query_scratch();
  prepare(g.metric, query, qs.prepared);
  const std::span<const float> q(qs.prepared);
  const Scorer scorer(MetricTraits::of(g.metric), q.data(), g.dim);
  ScratchLease lease;
  if (!lease.ok()) return nested_scratch_error();
  SubsetScratch& ss = subset_scratch();
  const size_t ef = std::max<size_t>(options.ef.value_or(g.ef_search), k);
  // On the SQ8 route the walk runs in code space, ef x factor wide, and its
  // results are rescored at full precision (or keep their code scores).
  const ResolvedOptions resolved = resolve_options(options, q);
  const bool coded = takes_sq8_route(g, resolved);
  const bool score_only = coded && g.metric == Metric::kCosine && resolved.sq8_score_only;
  WalkCodes codes;
  size_t width = ef;
  if (coded) {
    width = score_only ? ef : std::max(saturating_mul(ef, resolved.rerank_factor), ef);
    query_code_i16(g, q, qs.code_i16);
    codes.dim = g.dim;
    codes.rows = g.sq8_codes.data();
    codes.row_count = g.sq8_codes.size() / g.dim;
    if (g.metric == Metric::kCosine) {
      // Cosine codes lie in [-128, 127]: the byte kernels read half as much.
      std::vector<int8_t>& code8 = lease.get().code_i8;
      code8.assign(qs.code_i16.begin(), qs.code_i16.end());
      codes.code8 = code8.data();
    } else {
      codes.code16 = qs.code_i16.data();
    }
  }
  // No wider than the subset: a beam that can never fill would never stop.
  width = std::min<uint64_t>(width, std::max<uint64_t>(subset.size, 1));
  const uint64_t start = descend(g, q, word);
  // The cost model: a walk scores about probe_cost x ef / p nodes, the scan
  // every match once.
  auto walks = [&](double p) {
    return limits.probe_cost * static_cast<double>(ef) / std::max(p, 1e-9) < static_cast<double>(subset.size);
  };
  // Without a probe every share walks, so the first ring is all it samples.
  const double share = local_share(g, subset, start, limits.global_share, ss, walks);
  if (limits.probe_cost > 0 && !walks(share)) {
    c.declined = true;
    return Status::Ok();
  }
  const bool patient = 2 * std::max(share, 1e-9) >= limits.global_share;
  SubsetWalk walk(g, lease.get(), ss, scorer, subset, width, limits.budget, coded ? &codes : nullptr, patient);
  walk.run(start, c);
  walk.take_results(qs.first);
  if (score_only) {
    for (ScoredNode& x : qs.first) x.key = x.raw = sq8_cosine_raw(std::bit_cast<int32_t>(x.raw));
  } else if (coded) {
    rerank(g, scorer, qs.first);
  }
  if (coded) stable_keep(qs.first, ef, qs);
  for (ScoredNode& x : qs.first) x.node = g.point_id(x.node);
  out.resize(std::min(k, qs.first.size()));
  std::partial_sort_copy(qs.first.begin(), qs.first.end(), out.begin(), out.end(), final_less);
  return Status::Ok();
}

}  // namespace ulmora::hnsw
