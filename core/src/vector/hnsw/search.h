// Search records: per-call options, scored nodes, counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace ulmora::hnsw {

// Per-call overrides; an absent field falls back to the index default or
// the process-wide tuning value.
struct SearchOptions {
  std::optional<size_t> ef;
  std::optional<size_t> scan_cap;  // 0 = uncapped
  std::optional<size_t> scan_patience;
  std::optional<size_t> early_exit_patience;
  std::optional<size_t> expansion_mult;  // 0 counts as 1
  std::optional<size_t> entry_seeds;     // 0 counts as 1
  std::optional<size_t> adaptive_ef_high;
  std::optional<size_t> rerank_factor;
  std::optional<float> adaptive_ef_threshold;
  std::optional<bool> triangle_skip;  // skip neighbours the triangle inequality rules out
  std::optional<bool> sq8_screen;
  std::optional<bool> sq8_score_only;
};

// Queries one thread advances side by side in a grouped search.
inline constexpr size_t kSearchGroup = 4;

// Element of every heap, candidate list and result list.
struct ScoredNode {
  uint64_t node;  // node index inside the search; point id in final results
  float raw;      // raw metric score
  float key;      // sort key, lower is better
};
static_assert(sizeof(ScoredNode) == 16);

struct SearchCounters {
  uint64_t visited = 0;
  uint64_t expanded = 0;
};

// A set of node indexes a filtered search is restricted to: a bitmap
// (bit i of words[i / 64] is node i) or an ascending list of node indexes.
// The graph walk needs the bitmap (one lookup per node).
struct NodeSubset {
  std::span<const uint64_t> words;  // the bitmap, when is_bitmap
  std::span<const uint64_t> nodes;  // the list, otherwise (a sparse bitmap may carry it too, for scans)
  uint64_t size = 0;                // number of nodes in the set
  bool is_bitmap = true;
  bool contains(uint64_t node) const {
    return node / 64 < words.size() && ((words[node / 64] >> (node % 64)) & 1) != 0;
  }
};

// What a filtered graph walk did.
struct WalkCounters {
  uint64_t visited = 0;    // nodes scored
  uint64_t expanded = 0;   // nodes whose lists were read
  uint64_t two_hop = 0;    // expansions that also read neighbours' lists
  bool over_budget = false;  // stopped for having scored more than its budget
  bool declined = false;     // the probe found the neighbourhood too sparse to walk
};

// How a filtered walk is bounded. `budget`: it stops (over_budget) once it
// has scored more nodes than this. `probe_cost` > 0: after the descent it
// estimates the share p of matching nodes near the query from the first
// level-0 list (smoothed towards the subset's share `global_share`; also
// from that list's own lists when the first one alone would choose
// otherwise than `global_share`) and declines to walk unless probe_cost x
// ef / p < subset size, the cost model of a walk (nodes scored per result
// grow as 1 / p) against the scan of the subset.
// `global_share` also tells a neighbourhood that matches far less than the
// graph does (under half the share), where the walk gives up no early stop.
struct WalkLimits {
  uint64_t budget = UINT64_MAX;
  double probe_cost = 0;
  double global_share = 1;
};

}  // namespace ulmora::hnsw
