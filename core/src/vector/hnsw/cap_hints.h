// Per-node hints for level-0 cap enforcement (see detail::CapHint in
// filter_edges.h): one 64-bit word per node recording what the last cap of
// the node's level-0 list found, so the next cap can skip the comparisons
// that an added entry cannot change.
//
// Locking: a node's word is read and written only while that node's level-0
// neighbour list is write-locked. Chunks of 4096 words are allocated on
// first use under `writer_`; a node whose chunk does not exist yet reads as
// "no hint" (0).
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <cstdint>
#include <mutex>

#include "vector/hnsw/arena.h"

namespace ulmora::hnsw {

class CapHints {
 public:
  CapHints() = default;
  CapHints(const CapHints&) = delete;
  CapHints& operator=(const CapHints&) = delete;

  // The word of `node`, allocating its chunk on first use.
  uint64_t& word(uint64_t node) {
    auto* chunk = static_cast<uint64_t*>(dir_.chunk(node >> kChunkShift));
    if (!chunk) {
      std::lock_guard<std::mutex> lock(writer_);
      chunk = static_cast<uint64_t*>(dir_.ensure_chunk(node >> kChunkShift, sizeof(uint64_t) * kChunkCapacity));
    }
    return chunk[node & (kChunkCapacity - 1)];
  }

  // Frees every word (they read as "no hint" again). Only while no insert
  // runs: a frozen graph has no use for them.
  void release() {
    std::lock_guard<std::mutex> lock(writer_);
    dir_.release_chunks();
  }

  // Cache hint for an upcoming word(node); allocates nothing.
  void prefetch(uint64_t node) const {
    if (const auto* chunk = static_cast<const uint64_t*>(dir_.chunk(node >> kChunkShift)))
      __builtin_prefetch(chunk + (node & (kChunkCapacity - 1)), 1);
  }

 private:
  std::mutex writer_;
  detail::ChunkDirectory dir_{true};  // mapped: freezing frees the words
};

}  // namespace ulmora::hnsw
