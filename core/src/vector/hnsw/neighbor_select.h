// Neighbour selection and cap enforcement, shared by insertion and filter
// edges. Scores are raw metric scores; keys negate them for Dot.
//
// Locks: cap_list_locked runs with the list's write lock held by the caller
// (and, on level 0, the node's score list after it); the rest take none.
//
// Internal to the graph layer (the headers outside may use are listed in g.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vector/hnsw/graph.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {

// The point ids picked from `candidates` (ascending key) for a list of at
// most m on `level`: pass 1 keeps live candidates that no earlier pick is
// closer to than alpha times their key (down to the prune floor), pass 2
// fills up in candidate order.
std::vector<uint64_t> select_neighbors(const Graph& g, std::span<const ScoredNode> candidates, size_t m,
                                       uint64_t level);
// Trims node's list on `level` to the cap (m + 1, or m0_cap + 1 on level 0)
// with the same rule, keeping its level-0 score list parallel.
void enforce_cap(Graph& g, uint64_t level, uint64_t node);

namespace detail {

// Stable ascending sort by key, NaN keys last: insertion sort for short
// lists, a stable byte-wise radix sort over the key's ordered image beyond.
void sort_by_key(std::span<ScoredNode> items);
// Same order for items whose first `sorted_prefix` entries are already
// sorted: sorts the tail, then merges (earlier entries win ties).
void sort_tail_and_merge(std::vector<ScoredNode>& items, size_t sorted_prefix);
// The diversity rule of select_neighbors, as positions in `cands`.
// `reference` is the node the candidates were scored from, when it may be
// among them (cap enforcement): its score to a candidate is that candidate's
// raw score, so it is not recomputed.
inline constexpr uint64_t kNoReference = ~uint64_t{0};
void select_positions(const Graph& g, std::span<const ScoredNode> cands, size_t m, uint64_t level,
                      std::vector<uint32_t>& out, uint64_t reference = kNoReference);
// List limit on `level`, the self entry included.
uint64_t cap_limit(const Graph& g, uint64_t level);
// What the last cap of a level-0 list found: a fingerprint of the list and
// its stored scores, and the number of leading entries that pass 1 picked
// (`word` = fingerprint | (picked + 1), 0 = nothing known). `new_pos` is the
// position of the one entry added since. With it, a cap re-examines only
// what the new entry can change, with the same result as a full pass.
struct CapHint {
  uint64_t* word;
  size_t new_pos;
};
// Trims `list` (node's list on `level`, write lock held by the caller) to
// the cap when it is longer; returns whether it did. `known_raws`, when
// parallel to `list`, supplies the raw scores from node; `raws_out` gets the
// raw score of each kept entry.
bool cap_list_locked(const Graph& g, uint64_t level, uint64_t node, std::vector<uint32_t>& list,
                     const std::vector<float>* known_raws, std::vector<float>* raws_out, CapHint* hint = nullptr);
// Raw scores from node to each entry of `list` (0 for the node itself).
void rebuild_scores(const Graph& g, uint64_t node, std::span<const uint32_t> list, std::vector<float>& out);

}  // namespace detail

}  // namespace ulmora::hnsw
