// Filter edges: extra level-0 links from a newly inserted point to its
// best-scoring peers among the points that share its value under each
// configured filter key. Also the calling thread's random generator, shared
// by level assignment (insert.cc) and peer sampling.
//
// Concurrency: runs on the inserting thread after HnswIndex::insert has
// returned; every list edit takes that list's write lock alone (plus, on
// level 0, the node's score list, always in the order list -> score list).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/payload.h"
#include "vector/hnsw/core.h"

namespace ulmora::hnsw {

// Links the node of `point_id` (already inserted) to at most m0 peers: for
// each key of `filter_keys` in order, up to 2 * m0 sampled holders of the
// same scalar value are scored against `vector` and the best m0 of them
// join the peer set. Links run from the new node only. Never fails:
// unknown ids, missing values and missing posting sets are skipped.
void add_filter_edges(HnswIndex& index, uint64_t point_id, std::span<const float> vector, const Payload& payload,
                      const PayloadIndex& payload_index, std::span<const FilterKey> filter_keys);

// One directed link a -> b on `level` (used with level 0): appended unless
// present, then a's list is re-sorted by key from a and capped when caps are
// enforced. Nothing happens when either point id is unknown.
void add_filter_edge(HnswIndex& index, uint64_t level, uint64_t from_point_id, uint64_t to_point_id);

// ---- The calling thread's generator (ChaCha8, seeded from the OS) ----
uint64_t thread_random_u64();
// Uniform double in [0, 1) from the top 53 bits of one draw.
double thread_random_unit();
// Uniform integer in [0, bound) (bound > 0), without modulo bias.
uint64_t thread_random_below(uint64_t bound);

// ---- Helpers shared by insertion and filter edges (insert.cc) ----
namespace detail {

// Stable ascending sort by key, NaN keys last: insertion sort up to 20
// elements, merge sort beyond (through a per-thread buffer).
void sort_by_key(std::span<ScoredNode> items);
// Same order for items whose first `sorted_prefix` entries are already
// sorted: sorts the tail, then merges (earlier entries win ties).
void sort_tail_and_merge(std::vector<ScoredNode>& items, size_t sorted_prefix);
// The diversity rule of HnswIndex::select_neighbors, as positions in `cands`.
// `reference` is the node the candidates were scored from, when it may be
// among them (cap enforcement): its score to a candidate is that candidate's
// raw score, so it is not recomputed.
inline constexpr uint64_t kNoReference = ~uint64_t{0};
void select_positions(const HnswIndex& index, std::span<const ScoredNode> cands, size_t m, uint64_t level,
                      bool cosine_or_dot, std::vector<uint32_t>& out, uint64_t reference = kNoReference);
// List limit on `level`, the self entry included.
uint64_t cap_limit(const HnswIndex& index, uint64_t level);
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
bool cap_list_locked(const HnswIndex& index, uint64_t level, uint64_t node, std::vector<uint32_t>& list,
                     const std::vector<float>* known_raws, std::vector<float>* raws_out, CapHint* hint = nullptr);
// Raw scores from node to each entry of `list` (0 for the node itself).
void rebuild_scores(const HnswIndex& index, uint64_t node, std::span<const uint32_t> list, std::vector<float>& out);

}  // namespace detail

}  // namespace ulmora::hnsw
