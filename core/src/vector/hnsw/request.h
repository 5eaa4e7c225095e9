// Per-call records of the query path: constants and helpers shared by the
// beam and its callers, per-thread scratch, the options of one call resolved
// once, and the request record. Internal to the graph layer.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "vector/hnsw/key_heap.h"
#include "vector/hnsw/scorer.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/stats.h"

namespace ulmora::hnsw {

inline constexpr float kMaxFinite = std::numeric_limits<float>::max();
inline constexpr size_t kUncapped = std::numeric_limits<size_t>::max();
inline constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

inline size_t saturating_mul(size_t a, size_t b) {
  size_t r;
  return __builtin_mul_overflow(a, b, &r) ? kUncapped : r;
}

// In-beam SQ8 screening bound for the current worst key: the integer part
// of (1 - worst) * 127.5^2 * 0.85, saturated to i32, 0 for NaN.
int32_t screen_threshold(float worst);
// Hash that orders capped neighbour scans: SipHash-1-3 with an all-zero key
// over the element count (8 bytes LE) and each element's bit pattern (4
// bytes LE).
uint64_t query_hash(std::span<const float> query);

// Asks for the cache lines of the first min(bytes, cap) bytes at p.
inline void prefetch_bytes(const void* p, size_t bytes, size_t cap) {
  const char* c = static_cast<const char*>(p);
  const size_t end = std::min(bytes, cap);
  for (size_t off = 0; off < end; off += 64) __builtin_prefetch(c + off);
}

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

SearchScratch& search_scratch();  // the calling thread's

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

QueryScratch& query_scratch();  // the calling thread's

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

StoreError nested_scratch_error();

// ---- One call's options -------------------------------------------------------

// SearchOptions merged with the process-wide tuning values, once per call.
struct ResolvedOptions {
  size_t early_exit_patience = 3;
  size_t level0_scan_cap = kUncapped;
  size_t scan_patience = 0;
  size_t expansion_mult = 1;  // >= 1
  std::optional<size_t> expansion_cap;
  bool early_exit = true;
  bool rotate = false;
  bool stride = false;
  uint64_t query_hash = 0;  // of the prepared query, when rotating or striding
  bool triangle_skip = false;
  bool sq8_screen = false;
  bool sq8_score_only = false;
  size_t rerank_factor = 0;
  std::optional<size_t> entry_seeds;
  std::optional<size_t> adaptive_ef_high;
  std::optional<float> adaptive_ef_threshold;
};
ResolvedOptions resolve_options(const SearchOptions& options, std::span<const float> query);

// One beam request: the prepared query (graph dim), the beam width, the
// resolved options and metric traits, and the optional counters and trace.
struct SearchRequest {
  std::span<const float> query;
  size_t ef;
  const ResolvedOptions* options;
  MetricTraits traits;
  SearchCounters* counters = nullptr;
  TraceContext* trace = nullptr;

  SearchRequest with_ef(size_t width) const {
    SearchRequest r = *this;
    r.ef = width;
    return r;
  }
};

}  // namespace ulmora::hnsw
