// The level beam of the query path: beam settings, the Beam itself, and
// the entry points built on it. The per-call records it works with
// (scratch, resolved options, the request) are in request.h. Internal to
// the graph layer (search, the SQ8 route, insertion and their tests).
//
// Ordering of keys: every key that leaves a scoring step is either a number
// or +inf (a NaN key is stored as +inf, the worst), so every heap and sort
// works on a strict weak order even when stored vectors hold NaN.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "vector/hnsw/graph.h"
#include "vector/hnsw/key_heap.h"
#include "vector/hnsw/request.h"
#include "vector/hnsw/scorer.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/stats.h"
#include "vector/kernels/kernels.h"

namespace ulmora::hnsw {

// ---- One beam --------------------------------------------------------------

enum class ScanKind { kGeneral, kPlain, kTriangleSkip, kSq8 };

// What Beam::seed does when no given seed is admissible.
enum class SeedFallback { kNone, kLowestLinked };

struct BeamSettings {
  size_t ef = 0;
  size_t expansion_cap = kUncapped;
  bool apply_expansion_cap = true;
  bool early_exit = true;
  size_t patience = 3;
  size_t scan_cap = kUncapped;
  size_t scan_patience = 0;
  bool rotate = false;
  bool stride = false;
  uint64_t query_hash = 0;
  ScanKind scan = ScanKind::kGeneral;
};

// State of one beam over one level. Node indices at or beyond `n` (the node
// count read at setup) are treated as absent.
class Beam {
 public:
  Beam(const Graph& g, SearchScratch& s, uint64_t n, uint64_t level)
      : g_(g), s_(s), n_(n), level_(level), dim_(g.dim), all_linked_(g.frozen && g.all_linked) {
    begin_epoch();
    map_chunks();
    layer_ = level < g.layer_count() ? &g.layer(level) : nullptr;
  }

  // Float keys (plain beam and rerank).
  void use_scorer(const Scorer* scorer) { scorer_ = scorer; }
  // Code-space keys over `code` (SQ8 route): `fn` scores one row, `fn4`
  // four rows at once, with the same results.
  void use_codes(const int16_t* code, kernels::CodeI16Fn fn, kernels::CodeI16x4Fn fn4) {
    code_ = code;
    code_fn_ = fn;
    code_fn4_ = fn4;
    code_rows_ = g_.sq8_codes.size() / dim_;
  }
  // The same with a signed-byte query code (a 16-bit code whose elements
  // all fit a byte gives the same scores through the byte kernels).
  void use_codes(const int8_t* code, kernels::CodeI8Fn fn, kernels::CodeI8x4Fn fn4) {
    code8_ = code;
    code8_fn_ = fn;
    code8_fn4_ = fn4;
    code_rows_ = g_.sq8_codes.size() / dim_;
  }
  // In-beam screening against the signed-byte query code.
  void use_screen(const int8_t* code) {
    screen_code_ = code;
    screen_fn_ = kernels::active().sq8_dot_i8;
    code_rows_ = g_.sq8_codes.size() / dim_;
  }

  // Admits the seeds; with SeedFallback::kLowestLinked and nothing
  // admitted, the lowest Linked node present on this level. False when the
  // beam has nothing to start from.
  bool seed(std::span<const uint64_t> seeds, SeedFallback fallback) {
    for (uint64_t seed : seeds) {
      if (!admissible(seed)) continue;
      mark(seed);
      push_seed(seed);
    }
    if (s_.results.empty() && fallback == SeedFallback::kLowestLinked) {
      // Only a Linked node may start the beam: with every node deleted the
      // beam returns nothing rather than a deleted point. A node below this
      // level would end up in lists of a level it does not have.
      for (uint64_t i = 0; i < n_; ++i) {
        if (!linked(i) || !has_row(i) || g_.levels.get(i) < level_) continue;
        mark(i);
        push_seed(i);
        break;
      }
    }
    if (s_.results.empty()) return false;
    worst_ = s_.results.top().key;
    return true;
  }

  const char* run(const BeamSettings& b, TraceContext* trace) {
    switch (b.scan) {
      case ScanKind::kPlain:
        if (coded()) return loop(b, trace, [&](const ScoredNode& c) { scan_codes(b, c); });
        return loop(b, trace, [&](const ScoredNode& c) { scan_plain<ScanKind::kPlain>(b, c); });
      case ScanKind::kTriangleSkip:
        return loop(b, trace, [&](const ScoredNode& c) { scan_plain<ScanKind::kTriangleSkip>(b, c); });
      case ScanKind::kSq8: return loop(b, trace, [&](const ScoredNode& c) { scan_screened(b, c); });
      case ScanKind::kGeneral: break;
    }
    return loop(b, trace, [&](const ScoredNode& c) { scan_general(b, c); });
  }

  // ---- Stepwise driving (search_group in search.cc) -----------------------
  // Several beams on one thread advanced in turn, so that one beam's vector
  // loads are in flight while another admits. Plain scans only: admission
  // never depends on scores there, so admitting a whole list first and then
  // scoring it sixteen at a time makes exactly the offers run() makes.

  // Pops the next node and admits its unvisited neighbours, asking for
  // their vectors. False when the beam has ended (the stop rules of run()).
  bool step_admit(const BeamSettings& b) {
    if (s_.candidates.empty() || out_of_patience(b, stall_)) return false;
    const ScoredNode current = s_.candidates.pop();
    s_.admitted.clear();
    if (!layer_) return true;
    load_list(current.node);
    admit_all(/*rows=*/false, /*vectors=*/true);
    return true;
  }

  // Scores and offers what step_admit admitted. False when the expansion
  // cap has ended the beam.
  bool step_score(const BeamSettings& b) {
    const size_t total = s_.admitted.size();
    for (size_t i = 0; i < total; i += kBatch) {
      const size_t count = std::min(kBatch, total - i);
      score_batch(s_.admitted.data() + i, count);
      for (size_t j = 0; j < count; ++j) offer(sb_[j], b.ef);
    }
    ++expanded_;
    if (b.apply_expansion_cap && expanded_ >= b.expansion_cap) return false;
    // The likely next node's list, while the other beams take their turn.
    if (layer_ && !s_.candidates.empty()) layer_->prefetch_slot(s_.candidates.top().node);
    return true;
  }

  // The results, ascending by key (heap order among equal keys).
  void take_results(std::vector<ScoredNode>& out) {
    s_.results.sort_ascending();
    out.assign(s_.results.data().begin(), s_.results.data().end());
  }

  uint64_t visited() const { return visited_; }
  uint64_t expanded() const { return expanded_; }
  const ScoredNode& entry() const { return entry_; }

 private:
  void begin_epoch() {
    if (s_.visited.size() < n_) s_.visited.resize(n_, 0);
    if (s_.visited_epoch == 255) {
      std::fill(s_.visited.begin(), s_.visited.end(), 0);
      s_.visited_epoch = 1;
    } else {
      ++s_.visited_epoch;
    }
    epoch_ = s_.visited_epoch;
    visited_marks_ = s_.visited.data();
    s_.candidates.clear();
    s_.results.clear();
  }

  // Chunks never move, so their base pointers stay valid for the call.
  void map_chunks() {
    size_t chunks = static_cast<size_t>((n_ + kChunkCapacity - 1) >> kChunkShift);
    s_.vector_chunks.resize(chunks);
    s_.state_chunks.resize(chunks);
    for (size_t c = 0; c < chunks; ++c) {
      s_.vector_chunks[c] = g_.vectors.get(uint64_t{c} << kChunkShift);
      s_.state_chunks[c] = g_.node_states.chunk_data(c);
    }
  }

  uint8_t* state_slot(uint64_t i) const { return s_.state_chunks[i >> kChunkShift] + (i & (kChunkCapacity - 1)); }
  bool linked(uint64_t i) const {
    return std::atomic_ref<uint8_t>(*state_slot(i)).load(std::memory_order_relaxed) ==
           static_cast<uint8_t>(NodeState::kLinked);
  }

  const float* vec(uint64_t i) const {
    return s_.vector_chunks[i >> kChunkShift] + (i & (kChunkCapacity - 1)) * dim_;
  }
  const uint8_t* code_row(uint64_t i) const { return g_.sq8_codes.data() + i * dim_; }
  // Code-space beams only walk nodes that have a code row.
  bool coded() const { return code_ || code8_; }
  bool has_row(uint64_t i) const { return !coded() || i < code_rows_; }

  // Every cache line a code row touches, up to sixteen (1 KiB; at 784
  // dimensions the whole row measured 1-5% faster than its first four lines).
  // The column starts on a line, but a row starts on one only when dim is a
  // multiple of 64; otherwise it may span one line more than dim / 64.
  static void prefetch_row(const uint8_t* p, size_t bytes) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{63};
    const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + bytes - 1) & ~uintptr_t{63};
    const uintptr_t end = std::min(last, first + 15 * 64);
    for (uintptr_t line = first; line <= end; line += 64) __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
  void prefetch(uint64_t i) const {
    if (coded()) prefetch_row(code_row(i), dim_);
    // Up to eight lines: a whole 128-dimension vector, and the start of a
    // longer one (the hardware prefetcher follows on from there).
    else prefetch_bytes(vec(i), dim_ * sizeof(float), 512);
  }

  bool admissible(uint64_t i) const {
    return i < n_ && visited_marks_[i] != epoch_ && (all_linked_ || linked(i)) && has_row(i);
  }
  void mark(uint64_t i) {
    visited_marks_[i] = epoch_;
    ++visited_;
  }

  int32_t code_score(uint64_t i) const {
    return code8_ ? code8_fn_(code_row(i), code8_, dim_) : code_fn_(code_row(i), code_, dim_);
  }
  ScoredNode score_one(uint64_t i) const {
    if (coded()) {
      int32_t s = code_score(i);
      return ScoredNode{i, std::bit_cast<float>(s), -static_cast<float>(s)};
    }
    float raw = scorer_->raw(vec(i));
    return ScoredNode{i, raw, scorer_->key(raw)};
  }

  void push_seed(uint64_t i) {
    ScoredNode node = score_one(i);
    if (s_.results.empty()) entry_ = node;
    s_.candidates.push(node);
    s_.results.push(node);
  }

  // Scores batch[0..count) into sb_ (code-space rows keep the integer code
  // score's bits in `raw`, since a candidate's raw field is otherwise unused).
  void score_batch(const uint64_t* batch, size_t count) {
    if (coded()) {
      score_codes(batch, count);
      return;
    }
    const float* ptrs[kBatch];
    float raws[kBatch];
    for (size_t j = 0; j < count; ++j) ptrs[j] = vec(batch[j]);
    scorer_->raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) sb_[j] = ScoredNode{batch[j], raws[j], scorer_->key(raws[j])};
  }

  // Code scores four rows at a time, the rest one by one (count <= kBatch).
  void score_codes(const uint64_t* batch, size_t n) {
    const unsigned count = static_cast<unsigned>(std::min(n, kBatch));
    int32_t scores[kBatch];
    unsigned j = 0;
    for (; j + 4 <= count; j += 4) {
      const uint8_t* rows[4] = {code_row(batch[j]), code_row(batch[j + 1]), code_row(batch[j + 2]),
                                code_row(batch[j + 3])};
      if (code8_) code8_fn4_(rows, code8_, dim_, scores + j);
      else code_fn4_(rows, code_, dim_, scores + j);
    }
    for (; j < count; ++j) scores[j] = code_score(batch[j]);
    for (j = 0; j < count; ++j)
      sb_[j] = ScoredNode{batch[j], std::bit_cast<float>(scores[j]), -static_cast<float>(scores[j])};
  }

  // Early exit: with the results full, one more expansion whose frontier
  // top is no better than the worst result; true once that has happened
  // more than `patience` times in a row.
  bool out_of_patience(const BeamSettings& b, size_t& stall) const {
    if (!b.early_exit || s_.results.size() < b.ef) return false;
    ++stall;
    if (s_.candidates.top().key <= worst_) stall = 0;
    return stall > b.patience;
  }

  // Acceptance: room in the results, or strictly better than the worst.
  bool offer(const ScoredNode& node, size_t ef) {
    if (!(s_.results.size() < ef || node.key < worst_)) return false;
    s_.candidates.push(node);
    s_.results.push(node);
    if (s_.results.size() > ef) s_.results.pop();
    worst_ = s_.results.top().key;
    return true;
  }

  template <class Scan>
  const char* loop(const BeamSettings& b, TraceContext* trace, Scan&& scan) {
    size_t stall = 0;
    while (true) {
      if (s_.candidates.empty()) return "queue_empty";
      if (out_of_patience(b, stall)) return "early_exit_patience";
      ScoredNode current = s_.candidates.pop();
      // The next frontier node is likely expanded next: start loading its
      // list while this one is scanned (slot now, block after the copy).
      next_ = s_.candidates.empty() ? kNoNext : s_.candidates.top().node;
      if (layer_ && next_ != kNoNext) layer_->prefetch_slot(next_);
      if (layer_) scan(current);
      prefetch_next();
      ++expanded_;
      if (b.apply_expansion_cap && expanded_ >= b.expansion_cap) return "expansion_cap";
      if (trace && ++trace->step % trace->every == 0) emit_step(b, *trace, current);
    }
  }

  // The node's list: in place on a frozen graph, else a copy taken under
  // the list's lock (a writer may replace it while the beam scans).
  void load_list(uint64_t node) {
    if (g_.frozen) {
      list_ = layer_->view_unlocked(node);
      return;
    }
    layer_->read(node, [&](const uint32_t* items, size_t count) { s_.list.assign(items, items + count); });
    list_ = s_.list;
  }
  void load_scores(uint64_t node) {
    if (g_.frozen) {
      scores_ = g_.neighbor_scores.view_unlocked(node);
      return;
    }
    g_.neighbor_scores.read(node, [&](const float* items, size_t count) { s_.scores.assign(items, items + count); });
    scores_ = s_.scores;
  }

  // Second stage of the next list's prefetch, once its slot has had time
  // to arrive.
  void prefetch_next() {
    if (next_ == kNoNext) return;
    layer_->prefetch(next_);
    next_ = kNoNext;
  }

  // Visit marks and states of a whole list, so their misses overlap.
  void prefetch_marks(const uint32_t* list, size_t n) const {
    for (size_t j = 0; j < n; ++j) {
      uint64_t e = list[j];
      if (e >= n_) continue;
      __builtin_prefetch(visited_marks_ + e);
      if (!all_linked_) __builtin_prefetch(state_slot(e));
    }
  }

  // Admits every admissible entry of the list being scanned, in list order,
  // marking it visited and asking for its code row and/or its vector.
  void admit_all(bool rows, bool vectors) {
    prefetch_marks(list_.data(), list_.size());
    s_.admitted.clear();
    for (uint32_t e : list_) {
      if (!admissible(e)) continue;
      mark(e);
      if (rows && e < code_rows_) prefetch_row(code_row(e), dim_);
      if (vectors) prefetch(e);
      s_.admitted.push_back(e);
    }
  }

  // Capped, reordered scan with scan patience and counters; never screens.
  void scan_general(const BeamSettings& b, const ScoredNode& current) {
    load_list(current.node);
    const size_t n = list_.size();
    if (n == 0) return;
    size_t limit = std::min(b.scan_cap, n);
    size_t pos = 0, step = 1;
    if (n > b.scan_cap) scan_order(b, current.node, n, pos, step);
    uint64_t batch[kBatch];
    size_t count = 0, rejected = 0;
    for (size_t i = 0; i < limit; ++i) {
      uint64_t e = list_[pos];
      pos += step;
      if (pos >= n) pos -= n;
      if (!admissible(e)) continue;
      mark(e);
      prefetch(e);
      batch[count++] = e;
      if (count == kBatch) {
        if (!accept_batch(b, batch, count, rejected)) return;
        count = 0;
      }
    }
    if (count) accept_batch(b, batch, count, rejected);
  }

  // Start and step of a capped scan (rotation and stride).
  static void scan_order(const BeamSettings& b, uint64_t node, size_t n, size_t& start, size_t& step) {
    uint64_t h = (b.query_hash + node) * kGolden;
    if (b.rotate) start = static_cast<size_t>(h % n);
    if (b.stride) {
      uint64_t s = h >> 32;
      do s = s % (n - 1) + 1;
      while (std::gcd(s, uint64_t{n}) != 1);
      step = static_cast<size_t>(s);
    }
  }

  // False when scan patience ended the node's scan.
  bool accept_batch(const BeamSettings& b, const uint64_t* batch, size_t count, size_t& rejected) {
    prefetch_next();
    score_batch(batch, count);
    for (size_t j = 0; j < count; ++j) {
      if (offer(sb_[j], b.ef)) {
        rejected = 0;
      } else if (b.scan_patience && ++rejected >= b.scan_patience) {
        return false;
      }
    }
    return true;
  }

  // Uncapped scan in list order with one screening mode (or none).
  template <ScanKind kKind>
  void scan_plain(const BeamSettings& b, const ScoredNode& current) {
    load_list(current.node);
    const size_t n = list_.size();
    if (n == 0) return;
    if constexpr (kKind == ScanKind::kTriangleSkip) {
      load_scores(current.node);
    }
    uint64_t batch[kBatch];
    size_t count = 0;
    const uint32_t* list = list_.data();
    prefetch_marks(list, n);
    for (size_t j = 0; j < n; ++j) {
      uint64_t e = list[j];
      if constexpr (kKind == ScanKind::kTriangleSkip) {
        if (s_.results.size() >= b.ef && j < scores_.size() && current.key - scores_[j] > worst_) continue;
      }
      if (!admissible(e)) continue;
      mark(e);
      prefetch(e);
      batch[count++] = e;
      if (count == kBatch) {
        accept_plain(b, batch, count);
        count = 0;
      }
    }
    if (count) accept_plain(b, batch, count);
  }

  void accept_plain(const BeamSettings& b, const uint64_t* batch, size_t count) {
    prefetch_next();
    score_batch(batch, count);
    for (size_t j = 0; j < count; ++j) offer(sb_[j], b.ef);
  }

  // The code-space beam's scan: the plain scan's admissions, batches and
  // offers in the same order, but the whole list is admitted (and its code
  // rows requested) before the first batch is scored, so the row loads of
  // the list overlap. Admission depends only on the node range, states and
  // visit marks, which scoring never changes.
  void scan_codes(const BeamSettings& b, const ScoredNode& current) {
    load_list(current.node);
    if (list_.empty()) return;
    admit_all(/*rows=*/true, /*vectors=*/false);
    const uint64_t* admitted = s_.admitted.data();
    for (size_t begin = 0, total = s_.admitted.size(); begin < total; begin += kBatch)
      accept_codes(b, admitted + begin, std::min(kBatch, total - begin));
  }

  // accept_plain with offer's rejection test in line: most code-scored
  // neighbours are rejected, and a rejected offer changes nothing.
  void accept_codes(const BeamSettings& b, const uint64_t* batch, size_t count) {
    prefetch_next();
    score_batch(batch, count);
    for (size_t j = 0; j < count; ++j) {
      if (s_.results.size() >= b.ef && !(sb_[j].key < worst_)) continue;
      offer(sb_[j], b.ef);
    }
  }

  // Uncapped scan with SQ8 screening. Admission depends only on the node
  // range, states and visit marks, which scoring never changes, so the
  // whole list is admitted first (letting code rows and vectors load side
  // by side); screening and batching then run in list order exactly as if
  // each entry were screened when admitted.
  void scan_screened(const BeamSettings& b, const ScoredNode& current) {
    load_list(current.node);
    if (list_.empty()) return;
    admit_all(/*rows=*/true, /*vectors=*/true);
    int32_t threshold = screen_threshold(worst_);
    uint64_t batch[kBatch];
    size_t count = 0;
    for (uint64_t e : s_.admitted) {
      if (s_.results.size() >= b.ef && e < code_rows_ && screen_fn_(code_row(e), screen_code_, dim_) < threshold)
        continue;
      batch[count++] = e;
      if (count == kBatch) {
        accept_screened(b, batch, count, threshold);
        count = 0;
      }
    }
    if (count) accept_screened(b, batch, count, threshold);
  }

  // The threshold follows every change of worst.
  void accept_screened(const BeamSettings& b, const uint64_t* batch, size_t count, int32_t& threshold) {
    prefetch_next();
    score_batch(batch, count);
    for (size_t j = 0; j < count; ++j) {
      float before = worst_;
      if (offer(sb_[j], b.ef) && worst_ != before) threshold = screen_threshold(worst_);
    }
  }

  void emit_step(const BeamSettings& b, const TraceContext& trace, const ScoredNode& current) const {
    const TraceIndexInfo info{metric_name(g_.metric), g_.exact_fallback_enabled, g_.exact_fallback_threshold};
    emit_search_trace(beam_trace_event(trace, info, b.ef, figures(trace, current.node, current.key)));
  }

  const Graph& g_;
  SearchScratch& s_;
  const uint64_t n_;
  const uint64_t level_;
  const size_t dim_;
  const bool all_linked_;  // frozen with every node Linked: no state checks
  const NeighborLayer* layer_ = nullptr;
  uint8_t epoch_ = 0;
  uint8_t* visited_marks_ = nullptr;
  const Scorer* scorer_ = nullptr;
  const int16_t* code_ = nullptr;
  kernels::CodeI16Fn code_fn_ = nullptr;
  kernels::CodeI16x4Fn code_fn4_ = nullptr;
  const int8_t* code8_ = nullptr;
  kernels::CodeI8Fn code8_fn_ = nullptr;
  kernels::CodeI8x4Fn code8_fn4_ = nullptr;
  const int8_t* screen_code_ = nullptr;
  kernels::CodeI8Fn screen_fn_ = nullptr;
  uint64_t code_rows_ = 0;
  std::span<const uint32_t> list_;  // the list being scanned (load_list)
  std::span<const float> scores_;   // its level-0 scores (load_scores)
  float worst_ = kInf;
  static constexpr uint64_t kNoNext = ~uint64_t{0};
  uint64_t next_ = kNoNext;  // frontier top when the current node was popped
  size_t stall_ = 0;         // early-exit stall count of stepwise driving
  uint64_t visited_ = 0;
  uint64_t expanded_ = 0;
  ScoredNode entry_{0, 0.0f, 0.0f};
  ScoredNode sb_[kBatch];

 public:
  // The beam's figures for a trace event at node `idx` (key `idx_key`).
  SearchTraceEvent figures(const TraceContext& trace, uint64_t idx, float idx_key) const {
    SearchTraceEvent f;
    f.collection_size = n_;
    f.step = trace.step;
    f.level = level_;
    f.current_idx = idx;
    f.current_point = idx < n_ ? g_.point_id(idx) : 0;
    f.current_sort_key = idx_key;
    f.visited = visited_;
    f.expanded = expanded_;
    f.candidate_len = s_.candidates.size();
    f.results_len = s_.results.size();
    f.worst_score = s_.results.empty() ? 0.0f : s_.results.top().key;
    return f;
  }
};

// ---- Entry points of the beam (beam.cc, sq8_route.cc, search.cc) --------------

// Settings of a float beam on `level`, and the scan kind search_layer uses
// for it (`b.scan` is set).
BeamSettings float_beam_settings(const Graph& g, const SearchRequest& req, uint64_t level);
// True when search_level0 takes the SQ8 route for these options.
bool takes_sq8_route(const Graph& g, const ResolvedOptions& o);

// Float beam on `level` from `seeds` (falls back to the lowest Linked node of
// the level when no seed is admissible). Results ascending by key, node =
// node index.
Status search_layer(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds, uint64_t level,
                    std::vector<ScoredNode>& out);
// Level 0: the SQ8 route when it is configured and codes exist, else the
// float beam.
Status search_level0(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds,
                     std::vector<ScoredNode>& out);
// One entry per node not deleted (node field = point id), index order.
void exact_scan(const Graph& g, std::span<const float> query, std::vector<ScoredNode>& out);
// The SQ8 route's pieces (sq8_route.cc), shared with the filtered walk:
// the query's 16-bit code; full-precision scores of code-space candidates
// (raw and key replaced); the first `keep` by key, ties in current order.
void query_code_i16(const Graph& g, std::span<const float> q, std::vector<int16_t>& out);
void rerank(const Graph& g, const Scorer& scorer, std::vector<ScoredNode>& list);
void stable_keep(std::vector<ScoredNode>& list, size_t keep, QueryScratch& qs);
// First-improvement greedy walk on `level` from `start`.
uint64_t greedy_step_down(const Graph& g, std::span<const float> query, uint64_t start, uint64_t level);

}  // namespace ulmora::hnsw
