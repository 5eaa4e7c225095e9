// Filter edges: extra level-0 links from a newly inserted point to its
// best-scoring peers among the points that share its value under each
// configured filter key.
//
// Concurrency: runs on the inserting thread after HnswIndex::insert has
// returned; every list edit takes that list's write lock alone (plus, on
// level 0, the node's score list, always in the order list -> score list).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/payload.h"
#include "vector/hnsw/index.h"

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


}  // namespace ulmora::hnsw
