// Query path of HnswIndex: greedy descent, the level-0 beam with its scan
// policies, the SQ8 code-space route, the exact scan, and the final ordering.
//
// Ordering of keys: every key that leaves a scoring step is either a number
// or +inf (a NaN key is stored as +inf, the worst), so every heap and sort
// below works on a strict weak order even when stored vectors hold NaN.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>

#include "base/log.h"
#include "vector/hnsw/config.h"
#include "vector/hnsw/core.h"
#include "vector/hnsw/kernels.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/stats.h"

namespace ulmora::hnsw {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMaxFinite = std::numeric_limits<float>::max();
constexpr size_t kBatch = 16;
constexpr size_t kUncapped = std::numeric_limits<size_t>::max();
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr unsigned kGreedyMaxPasses = 1000;

size_t saturating_mul(size_t a, size_t b) {
  size_t r;
  return __builtin_mul_overflow(a, b, &r) ? kUncapped : r;
}

// ---- Scoring ---------------------------------------------------------------

// Raw score and key of one query against stored vectors, with the kernel
// table resolved once per call.
class Scorer {
 public:
  Scorer(Metric metric, bool cosine_or_dot, const float* query, size_t dim)
      : metric_(metric), negate_(metric == Metric::kDot && cosine_or_dot), query_(query), dim_(dim) {
    const kernels::KernelTable& k = kernels::active();
    one_ = metric == Metric::kEuclidean ? k.l2sq : k.dot;
    four_ = metric == Metric::kEuclidean ? k.l2sq_x4 : k.dot_x4;
  }

  float raw(const float* v) const { return finish_raw(one_(query_, v, dim_)); }
  float key(float raw) const {
    float k = negate_ ? -raw : raw;
    return k == k ? k : kInf;
  }
  // raw_out[j] for vecs[0..n), four at a time; n is at most one batch.
  void raw_many(const float* const* vecs, size_t n, float* raw_out) const {
    const unsigned count = static_cast<unsigned>(std::min(n, kBatch));
    unsigned j = 0;
    for (; j + 4 <= count; j += 4) four_(query_, vecs + j, dim_, raw_out + j);
    for (; j < count; ++j) raw_out[j] = one_(query_, vecs[j], dim_);
    if (metric_ == Metric::kCosine)
      for (unsigned i = 0; i < count; ++i) raw_out[i] = finish_raw(raw_out[i]);
  }

 private:
  float finish_raw(float v) const {
    if (metric_ != Metric::kCosine) return v;
    return 1.0f - (v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v));  // NaN passes through
  }
  Metric metric_;
  bool negate_;
  const float* query_;
  size_t dim_;
  kernels::DotFn one_;
  kernels::Batch4Fn four_;
};

// ---- Per-thread scratch ----------------------------------------------------

// Everything one beam needs between calls, so a search allocates nothing
// once the buffers have reached their working size.
struct SearchScratch {
  std::vector<uint8_t> visited;
  uint8_t visited_epoch = 0;
  KeyHeap<true> candidates;
  KeyHeap<false> results;
  bool in_use = false;
  std::vector<const float*> vector_chunks;
  std::vector<uint8_t*> state_chunks;
  std::vector<uint32_t> list;   // copy of the node's neighbour list
  std::vector<uint64_t> admitted;
  std::vector<float> scores;    // copy of its level-0 score list
  std::vector<int8_t> code_i8;  // query code for in-beam screening
};

SearchScratch& search_scratch() {
  thread_local SearchScratch scratch;
  return scratch;
}

// Buffers of the top-level search and of the level-0 dispatcher.
struct QueryScratch {
  std::vector<float> prepared;
  std::vector<uint64_t> seeds;
  std::vector<ScoredNode> seed_list;
  std::vector<ScoredNode> first;
  std::vector<ScoredNode> second;
  std::vector<int16_t> code_i16;  // query code of the SQ8 route
  std::vector<uint32_t> order;     // finishing sort of the SQ8 route
  std::vector<ScoredNode> reordered;
};

QueryScratch& query_scratch() {
  thread_local QueryScratch scratch;
  return scratch;
}

// Holds the thread's beam scratch for one call; a nested call is refused.
class ScratchLease {
 public:
  ScratchLease() : s_(search_scratch()), ok_(!s_.in_use) { s_.in_use = true; }
  ~ScratchLease() {
    if (ok_) s_.in_use = false;
  }
  bool ok() const { return ok_; }
  SearchScratch& get() { return s_; }

 private:
  SearchScratch& s_;
  bool ok_;
};

StoreError nested_scratch_error() { return StoreError::SearchFailed("search scratch is already in use on this thread"); }

std::atomic<uint64_t> g_search_ids{0};

// ---- One beam --------------------------------------------------------------

enum class ScanKind { kGeneral, kPlain, kTriangle, kSq8 };

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
  Beam(const HnswIndex& ix, SearchScratch& s, uint64_t n, uint64_t level)
      : ix_(ix), s_(s), n_(n), level_(level), dim_(ix.dim) {
    begin_epoch();
    map_chunks();
    layer_ = level < ix.layer_count() ? &ix.layer(level) : nullptr;
  }

  // Float keys (plain beam and rerank).
  void use_scorer(const Scorer* scorer) { scorer_ = scorer; }
  // Code-space keys over `code` (SQ8 route).
  void use_codes(const int16_t* code, kernels::CodeI16Fn fn) {
    code_ = code;
    code_fn_ = fn;
    code_rows_ = ix_.sq8_codes.size() / dim_;
  }
  // In-beam screening against the signed-byte query code.
  void use_screen(const int8_t* code) {
    screen_code_ = code;
    screen_fn_ = kernels::active().sq8_dot_i8;
    code_rows_ = ix_.sq8_codes.size() / dim_;
  }

  // Admits the seeds; with `fallback` and nothing admitted, the lowest
  // Linked node present on this level. False when the beam has nothing to
  // start from.
  bool seed(std::span<const uint64_t> seeds, bool fallback) {
    for (uint64_t seed : seeds) {
      if (!admissible(seed)) continue;
      mark(seed);
      push_seed(seed);
    }
    if (s_.results.empty() && fallback) {
      // Only a Linked node may start the beam: with every node deleted the
      // beam returns nothing rather than a deleted point. A node below this
      // level would end up in lists of a level it does not have.
      for (uint64_t i = 0; i < n_; ++i) {
        if (!linked(i) || !has_row(i) || ix_.levels.get(i) < level_) continue;
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
      case ScanKind::kPlain: return loop(b, trace, [&](const ScoredNode& c) { scan_plain<ScanKind::kPlain>(b, c); });
      case ScanKind::kTriangle:
        return loop(b, trace, [&](const ScoredNode& c) { scan_plain<ScanKind::kTriangle>(b, c); });
      case ScanKind::kSq8: return loop(b, trace, [&](const ScoredNode& c) { scan_screened(b, c); });
      case ScanKind::kGeneral: break;
    }
    return loop(b, trace, [&](const ScoredNode& c) { scan_general(b, c); });
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
      s_.vector_chunks[c] = ix_.vectors.get(uint64_t{c} << kChunkShift);
      s_.state_chunks[c] = ix_.node_states.chunk_data(c);
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
  const uint8_t* code_row(uint64_t i) const { return ix_.sq8_codes.data() + i * dim_; }
  // Code-space beams only walk nodes that have a code row.
  bool has_row(uint64_t i) const { return !code_ || i < code_rows_; }

  // Up to eight cache lines from p: a whole 128-dimension vector, and the
  // start of a longer one (the hardware prefetcher follows on from there).
  static void prefetch_lines(const void* p, size_t bytes) {
    const char* c = static_cast<const char*>(p);
    size_t lines = std::min<size_t>((bytes + 63) / 64, 8);
    for (size_t l = 0; l < lines; ++l) __builtin_prefetch(c + 64 * l);
  }
  void prefetch(uint64_t i) const {
    if (code_) prefetch_lines(code_row(i), dim_);
    else prefetch_lines(vec(i), dim_ * sizeof(float));
  }

  bool admissible(uint64_t i) const {
    return i < n_ && visited_marks_[i] != epoch_ && linked(i) && has_row(i);
  }
  void mark(uint64_t i) {
    visited_marks_[i] = epoch_;
    ++visited_;
  }

  ScoredNode score_one(uint64_t i) const {
    if (code_) {
      int32_t s = code_fn_(code_row(i), code_, dim_);
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
    if (code_) {
      for (size_t j = 0; j < count; ++j) sb_[j] = score_one(batch[j]);
      return;
    }
    const float* ptrs[kBatch];
    float raws[kBatch];
    for (size_t j = 0; j < count; ++j) ptrs[j] = vec(batch[j]);
    scorer_->raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) sb_[j] = ScoredNode{batch[j], raws[j], scorer_->key(raws[j])};
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
      if (b.early_exit && s_.results.size() >= b.ef) {
        ++stall;
        if (s_.candidates.top().key <= worst_) stall = 0;
        if (stall > b.patience) return "early_exit_patience";
      }
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

  void copy_list(uint64_t node) {
    layer_->read(node, [&](const uint32_t* items, size_t count) { s_.list.assign(items, items + count); });
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
      __builtin_prefetch(state_slot(e));
    }
  }

  // Capped, reordered scan with scan patience and counters; never screens.
  void scan_general(const BeamSettings& b, const ScoredNode& current) {
    copy_list(current.node);
    const size_t n = s_.list.size();
    if (n == 0) return;
    size_t limit = std::min(b.scan_cap, n);
    size_t pos = 0, step = 1;
    if (n > b.scan_cap) scan_order(b, current.node, n, pos, step);
    uint64_t batch[kBatch];
    size_t count = 0, rejected = 0;
    for (size_t i = 0; i < limit; ++i) {
      uint64_t e = s_.list[pos];
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
    copy_list(current.node);
    const size_t n = s_.list.size();
    if (n == 0) return;
    if constexpr (kKind == ScanKind::kTriangle) {
      ix_.neighbor_scores.read(current.node,
                               [&](const float* items, size_t count) { s_.scores.assign(items, items + count); });
    }
    uint64_t batch[kBatch];
    size_t count = 0;
    const uint32_t* list = s_.list.data();
    prefetch_marks(list, n);
    for (size_t j = 0; j < n; ++j) {
      uint64_t e = list[j];
      if constexpr (kKind == ScanKind::kTriangle) {
        if (s_.results.size() >= b.ef && j < s_.scores.size() && current.key - s_.scores[j] > worst_) continue;
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

  // Uncapped scan with SQ8 screening. Admission depends only on the node
  // range, states and visit marks, which scoring never changes, so the
  // whole list is admitted first (letting code rows and vectors load side
  // by side); screening and batching then run in list order exactly as if
  // each entry were screened when admitted.
  void scan_screened(const BeamSettings& b, const ScoredNode& current) {
    copy_list(current.node);
    const size_t n = s_.list.size();
    if (n == 0) return;
    prefetch_marks(s_.list.data(), n);
    s_.admitted.clear();
    for (uint32_t e : s_.list) {
      if (!admissible(e)) continue;
      mark(e);
      if (e < code_rows_) prefetch_lines(code_row(e), dim_);
      prefetch(e);
      s_.admitted.push_back(e);
    }
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

  void emit_step(const BeamSettings& b, const TraceContext& trace, const ScoredNode& current) const;

  const HnswIndex& ix_;
  SearchScratch& s_;
  const uint64_t n_;
  const uint64_t level_;
  const size_t dim_;
  const NeighborLayer* layer_ = nullptr;
  uint8_t epoch_ = 0;
  uint8_t* visited_marks_ = nullptr;
  const Scorer* scorer_ = nullptr;
  const int16_t* code_ = nullptr;
  kernels::CodeI16Fn code_fn_ = nullptr;
  const int8_t* screen_code_ = nullptr;
  kernels::CodeI8Fn screen_fn_ = nullptr;
  uint64_t code_rows_ = 0;
  float worst_ = kInf;
  static constexpr uint64_t kNoNext = ~uint64_t{0};
  uint64_t next_ = kNoNext;  // frontier top when the current node was popped
  uint64_t visited_ = 0;
  uint64_t expanded_ = 0;
  ScoredNode entry_{0, 0.0f, 0.0f};
  ScoredNode sb_[kBatch];

 public:
  // Trace event with the beam's current figures (step and end events).
  SearchTraceEvent trace_event(const TraceContext& trace, const char* metric, size_t ef, uint64_t idx,
                               float idx_key) const {
    SearchTraceEvent e;
    e.search_id = trace.search_id;
    e.metric = metric;
    e.ef_search = ef;
    e.exact_fallback_enabled = ix_.exact_fallback_enabled;
    e.exact_fallback_threshold = ix_.exact_fallback_threshold;
    e.collection_size = n_;
    e.step = trace.step;
    e.level = level_;
    e.current_idx = idx;
    e.current_point = idx < n_ ? ix_.point_id(idx) : 0;
    e.current_sort_key = idx_key;
    e.visited = visited_;
    e.expanded = expanded_;
    e.candidate_len = s_.candidates.size();
    e.results_len = s_.results.size();
    e.worst_score = s_.results.empty() ? 0.0f : s_.results.top().key;
    e.elapsed_ms = fractional_ms(trace.start, now());
    return e;
  }
};

void Beam::emit_step(const BeamSettings& b, const TraceContext& trace, const ScoredNode& current) const {
  emit_search_trace(trace_event(trace, metric_name(ix_.metric), b.ef, current.node, current.key));
}

// ---- Option resolution -------------------------------------------------------

size_t early_exit_patience(const SearchOptions& o) {
  return o.early_exit_patience ? *o.early_exit_patience : static_cast<size_t>(tuning::early_exit_patience());
}

size_t level0_scan_cap(const SearchOptions& o) {
  if (o.scan_cap) return *o.scan_cap == 0 ? kUncapped : *o.scan_cap;
  std::optional<uint64_t> env = tuning::neighbor_scan_cap_level0();
  if (!env || *env == 0 || *env >= kUncapped) return kUncapped;
  return static_cast<size_t>(*env);
}

size_t scan_patience(const SearchOptions& o) {
  if (o.scan_patience) return *o.scan_patience;
  return static_cast<size_t>(tuning::neighbor_scan_patience().value_or(0));
}

// Settings of a float beam (everything but the screening choice).
BeamSettings float_beam_settings(const HnswIndex& ix, std::span<const float> query, uint64_t level, size_t ef,
                                 const SearchOptions& o) {
  BeamSettings b;
  b.ef = ef;
  size_t mult = 0;
  if (o.expansion_mult) mult = *o.expansion_mult;
  else mult = static_cast<size_t>(tuning::search_expansion_mult());
  if (mult == 0) mult = 1;
  if (std::optional<uint64_t> cap = tuning::search_expansion_cap()) b.expansion_cap = static_cast<size_t>(*cap);
  else b.expansion_cap = std::max(saturating_mul(ef, mult), ef);
  b.apply_expansion_cap = ix.metric != Metric::kDot;
  tuning::note_scan_config(mult, b.expansion_cap);
  b.rotate = tuning::neighbor_scan_rotate();
  b.stride = tuning::neighbor_scan_stride();
  if (b.rotate || b.stride) b.query_hash = query_hash(query);
  b.early_exit = !tuning::disable_early_exit();
  b.patience = early_exit_patience(o);
  b.scan_cap = level == 0 ? level0_scan_cap(o) : kUncapped;
  b.scan_patience = ix.metric == Metric::kDot ? 0 : scan_patience(o);
  return b;
}

// ---- SQ8 route helpers ---------------------------------------------------------

int16_t round_code(float v, float lo, float hi) {
  if (std::isnan(v)) return 0;
  return static_cast<int16_t>(std::round(std::clamp(v, lo, hi)));
}

void query_code_i16(const HnswIndex& ix, std::span<const float> q, std::vector<int16_t>& out) {
  out.resize(q.size());
  for (size_t d = 0; d < q.size(); ++d) {
    if (ix.metric == Metric::kCosine) {
      out[d] = round_code(q[d] * 127.5f, -128.0f, 127.0f);
    } else {
      float lo = d < ix.sq8_mins.size() ? ix.sq8_mins[d] : 0.0f;
      float scale = d < ix.sq8_scales.size() ? ix.sq8_scales[d] : 1.0f;
      out[d] = round_code((q[d] - lo) / scale, 0.0f, 255.0f);
    }
  }
}

// Full-precision scores of the candidates, sixteen vectors at a time.
void rerank(const HnswIndex& ix, const Scorer& scorer, std::vector<ScoredNode>& list) {
  const float* ptrs[kBatch];
  float raws[kBatch];
  for (size_t begin = 0; begin < list.size(); begin += kBatch) {
    size_t count = std::min(kBatch, list.size() - begin);
    for (size_t j = 0; j < count; ++j) {
      ptrs[j] = ix.vector(list[begin + j].node);
      __builtin_prefetch(ptrs[j]);
    }
    scorer.raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) {
      list[begin + j].raw = raws[j];
      list[begin + j].key = scorer.key(raws[j]);
    }
  }
}

// Orders `list` by key, equal keys keeping their current order, and keeps
// the first `keep`. Sorting positions by (key, position) gives the stable
// order without the temporary buffer std::stable_sort would allocate.
void stable_keep(std::vector<ScoredNode>& list, size_t keep, QueryScratch& qs) {
  const size_t n = list.size();
  keep = std::min(keep, n);
  qs.order.resize(n);
  for (size_t i = 0; i < n; ++i) qs.order[i] = static_cast<uint32_t>(i);
  auto less = [&](uint32_t a, uint32_t b) { return list[a].key < list[b].key || (list[a].key == list[b].key && a < b); };
  std::partial_sort(qs.order.begin(), qs.order.begin() + keep, qs.order.end(), less);
  qs.reordered.resize(keep);
  for (size_t i = 0; i < keep; ++i) qs.reordered[i] = list[qs.order[i]];
  list.assign(qs.reordered.begin(), qs.reordered.end());
}

}  // namespace

// ---- Beam building blocks (search.h) ------------------------------------------

int32_t screen_threshold(float worst) {
  float v = (1.0f - worst) * 127.5f * 127.5f * 0.85f;
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0f) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1) {
  uint64_t v0 = 0x736f6d6570736575ull ^ k0, v1 = 0x646f72616e646f6dull ^ k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ k0, v3 = 0x7465646279746573ull ^ k1;
  auto round = [&] {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  };
  auto word_at = [&](size_t off, size_t n) {
    uint64_t m = 0;
    for (size_t i = 0; i < n; ++i) m |= uint64_t{data[off + i]} << (8 * i);
    return m;
  };
  size_t full = len & ~size_t{7};
  for (size_t off = 0; off < full; off += 8) {
    uint64_t m = word_at(off, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t b = (uint64_t{len} << 56) | word_at(full, len - full);
  v3 ^= b;
  round();
  v0 ^= b;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t query_hash(std::span<const float> query) {
  // Element count (8 bytes LE) then each element's bit pattern (4 bytes LE),
  // laid out in a reused per-thread buffer.
  thread_local std::vector<uint8_t> bytes;
  bytes.resize(8 + 4 * query.size());
  uint64_t count = query.size();
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(count >> (8 * i));
  for (size_t j = 0; j < query.size(); ++j) {
    uint32_t bits = std::bit_cast<uint32_t>(query[j]);
    for (int i = 0; i < 4; ++i) bytes[8 + 4 * j + i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  return siphash13(bytes.data(), bytes.size(), 0, 0);
}

// ---- HnswIndex members ----------------------------------------------------------

uint64_t HnswIndex::greedy_step_down(std::span<const float> query, uint64_t start, uint64_t level) const {
  const uint64_t n = published_len();
  if (level >= layer_count() || start >= n) return start;
  thread_local std::vector<uint32_t> list;
  const Scorer scorer(metric, true, query.data(), std::min<size_t>(dim, query.size()));
  const NeighborLayer& lay = layer(level);
  uint64_t cur = start;
  float cur_key = scorer.key(scorer.raw(vector(cur)));
  for (unsigned pass = 0; pass < kGreedyMaxPasses; ++pass) {
    lay.read(cur, [&](const uint32_t* items, size_t count) { list.assign(items, items + count); });
    bool moved = false;
    for (uint32_t e : list) {
      if (e >= n || state(e) != NodeState::kLinked) continue;
      float k = scorer.key(scorer.raw(vector(e)));
      if (k < cur_key) {
        cur = e;
        cur_key = k;
        moved = true;
        break;
      }
    }
    if (!moved) return cur;
  }
  ULMORA_LOG(log::Level::kWarn, "vector::hnsw",
             "[GREEDY] Reached max steps at level " + std::to_string(level) + ", current = " + std::to_string(cur));
  return cur;
}

Status HnswIndex::search_layer(std::span<const float> query, std::span<const uint64_t> seeds, uint64_t level,
                               size_t ef, const SearchOptions& options, bool cosine_or_dot,
                               SearchCounters* counters, TraceContext* trace, std::vector<ScoredNode>& out) const {
  out.clear();
  if (query.size() != dim) return StoreError::VectorLengthMismatch(dim, query.size());
  BeamSettings b = float_beam_settings(*this, query, level, ef, options);
  const uint64_t n = published_len();
  ScratchLease lease;
  if (!lease.ok()) return nested_scratch_error();
  SearchScratch& s = lease.get();
  Beam beam(*this, s, n, level);
  const Scorer scorer(metric, cosine_or_dot, query.data(), dim);
  beam.use_scorer(&scorer);
  const bool seeded = beam.seed(seeds, true);

  bool ti = level == 0 && metric == Metric::kCosine && options.ti_skip.value_or(tuning::ti_skip()) &&
            neighbor_scores.len() > 0;
  bool sq8 = level == 0 && metric == Metric::kCosine && !ti && !sq8_codes.empty() &&
             options.sq8_screen.value_or(tuning::sq8_screen());
  bool plain = !counters && b.scan_cap == kUncapped && b.scan_patience == 0 && !b.rotate && !b.stride;
  if (!plain) b.scan = ScanKind::kGeneral;
  else if (ti) b.scan = ScanKind::kTriangle;
  else if (sq8) b.scan = ScanKind::kSq8;
  else b.scan = ScanKind::kPlain;
  if (b.scan == ScanKind::kSq8) {
    quantize_query_i8(query, s.code_i8);
    beam.use_screen(s.code_i8.data());
  }

  const char* stop = seeded ? beam.run(b, trace) : "queue_empty";
  if (trace) {
    SearchTraceEvent e = beam.trace_event(*trace, metric_name(metric), ef, beam.entry().node, beam.entry().key);
    e.stop_reason = stop;
    emit_search_trace(e);
  }
  if (counters) *counters = SearchCounters{beam.visited(), beam.expanded()};
  beam.take_results(out);
  return Status::Ok();
}

namespace {

// Code-space beam of the SQ8 route: the candidates in ascending code key.
// No fallback seed: when no seed is admissible the list is empty.
Status search_layer_sq8(const HnswIndex& ix, std::span<const int16_t> code, std::span<const uint64_t> seeds,
                        size_t c, const SearchOptions& options, SearchCounters* counters, TraceContext* trace,
                        std::vector<ScoredNode>& out) {
  out.clear();
  if (code.size() != ix.dim) return StoreError::VectorLengthMismatch(ix.dim, code.size());
  BeamSettings b;
  b.ef = c;
  b.apply_expansion_cap = false;
  b.early_exit = true;
  b.patience = early_exit_patience(options);
  b.scan = ScanKind::kPlain;
  const uint64_t n = ix.published_len();
  ScratchLease lease;
  if (!lease.ok()) return nested_scratch_error();
  Beam beam(ix, lease.get(), n, 0);
  const kernels::KernelTable& k = kernels::active();
  beam.use_codes(code.data(), ix.metric == Metric::kCosine ? k.sq8_centered_i16 : k.sq8_neg_l2_i16);
  const char* stop = "sq8_search_done";
  if (beam.seed(seeds, false)) beam.run(b, nullptr);
  if (trace) {
    SearchTraceEvent e = beam.trace_event(*trace, (std::string(metric_name(ix.metric)) + "+SQ8").c_str(), c,
                                          beam.entry().node, beam.entry().key);
    e.stop_reason = stop;
    emit_search_trace(e);
  }
  if (counters) *counters = SearchCounters{beam.visited(), beam.expanded()};
  beam.take_results(out);
  return Status::Ok();
}

}  // namespace

Status HnswIndex::search_level0(std::span<const float> query, std::span<const uint64_t> seeds, size_t ef,
                                const SearchOptions& options, bool cosine_or_dot, SearchCounters* counters,
                                TraceContext* trace, std::vector<ScoredNode>& out) const {
  size_t factor = options.rerank_factor ? *options.rerank_factor
                                        : static_cast<size_t>(tuning::sq8_rerank_factor().value_or(0));
  bool score_only = metric == Metric::kCosine && options.sq8_score_only.value_or(tuning::sq8_score_only());
  if (!(score_only || factor != 0) || sq8_codes.empty() || metric == Metric::kDot)
    return search_layer(query, seeds, 0, ef, options, cosine_or_dot, counters, trace, out);

  size_t c = score_only ? ef : std::max(saturating_mul(ef, factor), ef);
  if (query.size() != dim) return StoreError::VectorLengthMismatch(dim, query.size());
  std::vector<int16_t>& code = query_scratch().code_i16;
  query_code_i16(*this, query, code);
  ULMORA_TRY(search_layer_sq8(*this, code, seeds, c, options, counters, trace, out));

  if (score_only) {
    for (ScoredNode& node : out) {
      node.raw = sq8_cosine_raw(std::bit_cast<int32_t>(node.raw));
      node.key = node.raw;
    }
  } else {
    rerank(*this, Scorer(metric, cosine_or_dot, query.data(), dim), out);
  }
  stable_keep(out, ef, query_scratch());
  return Status::Ok();
}

void HnswIndex::exact_scan(std::span<const float> query, bool cosine_or_dot, std::vector<ScoredNode>& out) const {
  out.clear();
  const uint64_t n = published_len();
  const Scorer scorer(metric, cosine_or_dot, query.data(), std::min<size_t>(dim, query.size()));
  const float* ptrs[kBatch];
  uint64_t idx[kBatch];
  float raws[kBatch];
  size_t count = 0;
  auto flush = [&] {
    scorer.raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) out.push_back(ScoredNode{point_id(idx[j]), raws[j], scorer.key(raws[j])});
    count = 0;
  };
  for (uint64_t i = 0; i < n; ++i) {
    if (deleted.get(i) != 0) continue;
    idx[count] = i;
    ptrs[count++] = vector(i);
    if (count == kBatch) flush();
  }
  if (count) flush();
}

namespace {

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

SearchTraceEvent start_event(const HnswIndex& ix, const TraceContext& trace, size_t k, uint64_t live, bool exact) {
  SearchTraceEvent e;
  e.search_id = trace.search_id;
  e.metric = metric_name(ix.metric);
  e.ef_search = k;
  e.exact_fallback_enabled = ix.exact_fallback_enabled;
  e.exact_fallback_threshold = ix.exact_fallback_threshold;
  e.collection_size = live;
  e.exact_scan = exact;
  e.stop_reason = "start";
  e.elapsed_ms = fractional_ms(trace.start, now());
  return e;
}

void emit_exact_event(const HnswIndex& ix, const TraceContext& trace, size_t k, uint64_t live,
                      const std::vector<ScoredNode>& kept) {
  SearchTraceEvent e = start_event(ix, trace, k, live, true);
  if (!kept.empty()) {
    e.top_id = kept.front().node;
    e.top_raw = kept.front().raw;
    e.top_sort_key = kept.front().key;
    e.worst_score = kept.back().key;
  }
  e.visited = live;
  e.expanded = live;
  e.results_len = kept.size();
  e.stop_reason = "exact_scan";
  e.elapsed_ms = fractional_ms(trace.start, now());
  emit_search_trace(e);
}

// Level-0 seeds: the descent's node, or the best nodes of a level-1 beam of
// width "entry seeds" when more than one seed is asked for.
Status entry_seeds(const HnswIndex& ix, std::span<const float> query, uint64_t start, uint64_t top_level,
                   const SearchOptions& options, bool cosine_or_dot, std::vector<uint64_t>& seeds) {
  seeds.assign(1, start);
  std::optional<size_t> wanted = options.entry_seeds;
  if (!wanted) {
    if (std::optional<uint64_t> env = tuning::num_entry_seeds()) wanted = static_cast<size_t>(*env);
  }
  if (!wanted || *wanted <= 1 || top_level == 0) return Status::Ok();
  SearchOptions seed_options;
  seed_options.expansion_mult = 1;
  std::vector<ScoredNode>& list = query_scratch().seed_list;
  ULMORA_TRY(ix.search_layer(query, std::span<const uint64_t>(&start, 1), 1, *wanted, seed_options, cosine_or_dot,
                             nullptr, nullptr, list));
  seeds.clear();
  for (size_t i = 0; i < list.size() && i < *wanted; ++i) seeds.push_back(list[i].node);
  return Status::Ok();
}

// A wider second level-0 run when the first one's best key is above the
// threshold; its list wins only with a strictly better best key.
Status adaptive_rerun(const HnswIndex& ix, std::span<const float> query, std::span<const uint64_t> seeds, size_t ef,
                      const SearchOptions& options, bool cosine_or_dot, std::vector<ScoredNode>& first,
                      std::vector<ScoredNode>& second) {
  std::optional<size_t> high = options.adaptive_ef_high;
  if (!high) {
    if (std::optional<uint64_t> env = tuning::adaptive_ef_high()) high = static_cast<size_t>(*env);
  }
  std::optional<float> threshold = options.adaptive_ef_threshold;
  if (!threshold) threshold = tuning::adaptive_ef_score_threshold();
  if (!high || !threshold) return Status::Ok();
  const float best = first.empty() ? kMaxFinite : first.front().key;
  if (!(best > *threshold) || *high <= ef) return Status::Ok();
  ULMORA_TRY(ix.search_level0(query, seeds, *high, options, cosine_or_dot, nullptr, nullptr, second));
  if (!second.empty() && second.front().key < best) first.swap(second);
  return Status::Ok();
}

}  // namespace

Status HnswIndex::search(std::span<const float> query, size_t k, const SearchOptions& options,
                         std::vector<ScoredNode>& out) const {
  out.clear();
  const uint64_t word = entry.load(std::memory_order_acquire);
  if (entry_index(word) == kNoEntry) return Status::Ok();
  if (query.size() != dim) return StoreError::VectorLengthMismatch(dim, query.size());

  QueryScratch& qs = query_scratch();
  prepare(metric, query, qs.prepared);
  const std::span<const float> q(qs.prepared);
  const bool cosine_or_dot = metric == Metric::kCosine || metric == Metric::kDot;
  const bool stats_on = unfiltered_stats_enabled();

  std::optional<TraceContext> trace;
  uint64_t live = 0;
  if (search_trace_enabled() || exact_fallback_enabled) {
    uint64_t n = published_len(), gone = deleted_count.load(std::memory_order_relaxed);
    live = n > gone ? n - gone : 0;
  }
  const bool exact = exact_fallback_enabled && live <= exact_fallback_threshold;
  if (search_trace_enabled()) {
    trace.emplace();
    trace->search_id = g_search_ids.fetch_add(1, std::memory_order_relaxed) + 1;
    trace->every = tuning::diagnostics().trace_every;
    trace->start = now();
    emit_search_trace(start_event(*this, *trace, k, live, exact));
  }

  if (exact) {
    exact_scan(q, cosine_or_dot, qs.first);
    keep_best(qs.first, k, out);
    if (trace) emit_exact_event(*this, *trace, k, live, out);
    return Status::Ok();
  }

  uint64_t current = entry_index(word);
  for (uint64_t level = entry_level(word); level >= 1; --level) current = greedy_step_down(q, current, level);

  const size_t ef = std::max<size_t>(options.ef.value_or(ef_search), k);
  ULMORA_TRY(entry_seeds(*this, q, current, entry_level(word), options, cosine_or_dot, qs.seeds));

  SearchCounters counters;
  TraceContext* tc = trace ? &*trace : nullptr;
  ULMORA_TRY(search_level0(q, qs.seeds, ef, options, cosine_or_dot, stats_on ? &counters : nullptr, tc, qs.first));
  ULMORA_TRY(adaptive_rerun(*this, q, qs.seeds, ef, options, cosine_or_dot, qs.first, qs.second));

  for (ScoredNode& node : qs.first) node.node = point_id(node.node);
  keep_best(qs.first, k, out);
  if (stats_on) {
    float best = out.empty() ? 0.0f : out.front().key;
    float worst = out.empty() ? 0.0f : out.back().key;
    record_unfiltered_stats(ef, counters.visited, counters.expanded, best, worst);
  }
  return Status::Ok();
}

}  // namespace ulmora::hnsw
