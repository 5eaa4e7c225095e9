// Searches run by the snapshot and log targets on what they restored or
// replayed, with the properties every result list must have.
#pragma once

#include <cstdint>

#include "vector/hnsw/index.h"

namespace ulmora::fuzz {

// Largest vector work (nodes x dim) the targets search over; bigger inputs
// are only decoded and restored, so each execution stays fast.
inline constexpr uint64_t kMaxSearchWork = uint64_t{1} << 16;

// A few searches (small k and ef, SQ8 screening and scoring when the index
// has codes) with queries derived from `seed` and from stored vectors.
// Checks: at most k results, no repeated ids, every id a live node,
// non-decreasing sort keys where they are numbers.
void exercise_search(const hnsw::HnswIndex& index, uint64_t seed);

// A 64-bit digest of the input, to derive query values and options from.
uint64_t digest(const uint8_t* data, size_t size);

}  // namespace ulmora::fuzz
