// Graph: the in-memory graph and its columns, plus metrics, score keys,
// SQ8 codes, and restore/export of snapshot graph records. Internal to the
// graph layer: callers outside it use HnswIndex (index.h), which owns one.
//
// Columns (one slot per node, same order): vectors, levels, deleted,
// neighbor_scores, node_states, point_ids, and one neighbour list column per
// level. All appends for one node happen while `alloc` is held.
//
// Lock order for writers: alloc, then a column's writer mutex. List locks
// (inside ListColumn) are always taken alone. `entry` is updated by
// compare-and-swap or atomic store, `deleted_count` by atomic addition.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "format/snapshot.h"
#include "vector/hnsw/index.h"
#include "vector/hnsw/arena.h"
#include "vector/hnsw/cap_hints.h"
#include "vector/hnsw/id_map.h"
#include "vector/hnsw/lists.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {

using ::ulmora::Metric;

inline constexpr uint64_t kNoEntry = 0xFFFFFFFFull;
inline constexpr uint64_t kMaxLevel = 255;

inline uint64_t pack_entry(uint64_t level, uint64_t index) { return (level << 32) | (index & 0xFFFFFFFFull); }
inline uint64_t entry_index(uint64_t word) { return word & 0xFFFFFFFFull; }
inline uint64_t entry_level(uint64_t word) { return word >> 32; }

// ---- Metrics and score keys -------------------------------------------

// Raw score over the first min(na, nb) elements: Cosine 1 - clamp(dot,-1,1),
// Dot the dot product, Euclidean the squared L2 distance.
float score(Metric metric, const float* a, const float* b, size_t n);
// Dot -> -raw; Cosine, Euclidean -> raw. Lower is better everywhere.
inline float sort_key(Metric metric, float raw) { return metric == Metric::kDot ? -raw : raw; }
// Stored/searched form: unit length for Cosine (double-precision sum of
// squares; an all-zero vector stays as is), a copy otherwise.
void prepare(Metric metric, std::span<const float> v, std::vector<float>& out);

// SQ8 helpers (round half away from zero).
int8_t quantize_query_element_i8(float q);
void quantize_query_i8(std::span<const float> q, std::vector<int8_t>& out);
// 1 - clamp(s / 16256.25, -1, 1): the approximate Cosine raw score.
float sq8_cosine_raw(int32_t code_score);


// Allocator of the SQ8 code column: cache-line-aligned, so a row of 64k
// bytes spans k lines rather than k + 1. A large column comes from a
// mapping with huge pages requested, like the vector column: the code
// beam reads its rows at random, and 4 KiB pages would also make filling
// it one page fault per 4 KiB.
template <class T>
struct LineAlignedAllocator {
  using value_type = T;
  LineAlignedAllocator() = default;
  template <class U>
  LineAlignedAllocator(const LineAlignedAllocator<U>&) {}
  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= detail::kMappedChunkBytes) return static_cast<T*>(detail::map_aligned(bytes));
    return static_cast<T*>(::operator new(bytes, std::align_val_t{64}));
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes >= detail::kMappedChunkBytes) ::munmap(p, bytes);
    else ::operator delete(p, std::align_val_t{64});
  }
  template <class U>
  bool operator==(const LineAlignedAllocator<U>&) const { return true; }
};
using CodeColumn = std::vector<uint8_t, LineAlignedAllocator<uint8_t>>;

class Graph {
 public:
  // New empty index. Reads VECTORDB_LEVEL_SCALE(_MULT), VECTORDB_MAX_LEVEL_CAP,
  // VECTORDB_MAX_LEVEL afresh; requires dim > 0.
  Graph(Metric metric, uint64_t m, uint64_t ef, uint64_t level_cap, uint64_t dim);
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // ---- Storage reads (thread-safe) ----
  uint64_t len() const;  // allocated nodes, under alloc
  // Node count without taking alloc (published after a node's slots exist).
  uint64_t published_len() const { return published_count.load(std::memory_order_acquire); }
  bool contains(uint64_t point_id) const;
  std::optional<uint64_t> index_of(uint64_t point_id) const;
  // index_of for many ids under one lock: out[i] is the node of ids[i] or
  // IdMap::kAbsent. out holds at least ids.size() entries.
  void indexes_of(std::span<const uint64_t> ids, uint64_t* out) const;
  const float* vector(uint64_t i) const { return vectors.get(i); }
  // nullptr when i >= vectors.len() or the node is deleted. Inline: the
  // neighbour selection and cap loops call it once per candidate. A node
  // whose deleted slot is not appended yet is still being allocated.
  const float* live_vector(uint64_t i) const {
    if (i >= vectors.len() || i >= deleted.len() || deleted.get(i) != 0) return nullptr;
    return vectors.get(i);
  }
  const float* vector_of(uint64_t point_id) const;
  // Sets bit i of `words` (zeroed by the caller, (nodes + 63) / 64 of them)
  // for every node i < nodes with a live vector: live_vector for a range, a
  // word fill while nothing is deleted.
  void live_bits(uint64_t nodes, uint64_t* words) const;
  NodeState state(uint64_t i) const { return static_cast<NodeState>(node_states.get(i)); }
  uint64_t point_id(uint64_t i) const { return point_ids.get(i); }
  uint64_t layer_count() const { return layers.size(); }
  NeighborLayer& layer(uint64_t level) const { return *layers[level]; }

  // ---- Deletion and entry ----
  void mark_deleted(uint64_t point_id);
  // Highest level among nodes not deleted; later index wins ties.
  std::optional<uint64_t> best_entry_candidate() const;

  // ---- Search (search.cc; the beam's parts are in beam.h) ----
  // Best k points (node field = point id), ascending key, ties by point id.
  Status search(std::span<const float> query, size_t k, const SearchOptions& options,
                std::vector<ScoredNode>& out) const;

  // Up to kSearchGroup queries of `dim` floats each (row-major in
  // `queries`), each exactly as search() would answer it, into outs[i]. On
  // an error, *failed is the first failing row (rows before it are done).
  Status search_group(std::span<const float> queries, size_t count, size_t k, const SearchOptions& options,
                      std::vector<ScoredNode>* outs, size_t* failed) const;

  // ---- Insertion (insert.cc; selection and caps in neighbor_select.h) ----
  Status insert(uint64_t point_id, std::span<const float> vector);

  // Marks the graph read-only for good (call before it is shared): level-0
  // lists move into fixed rows, and searches read lists in place.
  void freeze();

  // ---- SQ8 (graph.cc) ----
  // Builds codes of every stored vector; called before the index is shared.
  void quantize_sq8();
  void extend_sq8();

  // ---- Fields ----
  std::vector<std::unique_ptr<NeighborLayer>> layers;
  CodeColumn sq8_codes;
  std::vector<float> sq8_mins;
  std::vector<float> sq8_scales;
  VectorArena vectors;
  HnswArena<uint8_t> levels;
  HnswArena<uint8_t> deleted;
  ScoreColumn neighbor_scores;
  HnswArena<uint8_t> node_states;
  HnswArena<uint64_t> point_ids;
  // What the last cap of each level-0 list found (neighbor_select.cc);
  // speeds up the next cap, never changes its result.
  CapHints cap_hints;
  std::atomic<uint64_t> entry{kNoEntry};
  std::atomic<uint64_t> deleted_count{0};
  uint64_t m;
  uint64_t m0;
  uint64_t m0_cap;
  uint64_t ef_search;
  uint64_t ef_construction;
  uint64_t level_cap;
  double level_scale;
  uint64_t dim;
  uint64_t exact_fallback_threshold;
  bool exact_fallback_enabled;
  Metric metric;
  // Set before any insert: levels come from a hash of (seed, point id)
  // instead of the thread's OS-seeded generator, so a build repeats.
  std::optional<uint64_t> level_seed;
  // Set once, before the graph is shared, when nothing will change it any
  // more: searches then read lists in place, without their locks.
  bool frozen = false;
  // Set with `frozen` when every node is Linked: the beam then skips the
  // per-neighbour state check.
  bool all_linked = false;

  // Allocation state, guarded by `alloc`.
  mutable std::mutex alloc;
  IdMap id_to_index;
  uint64_t count = 0;
  // Mirror of `count`, stored (release) after a node's slots all exist.
  std::atomic<uint64_t> published_count{0};

 private:
  struct RestoreTag {};
  Graph(RestoreTag, Metric metric, uint64_t dim);
  friend Result<std::unique_ptr<Graph>> restore_graph(HnswSnapshot&& snapshot);
  friend class StreamRestore;  // restore_stream.cc
};

// Builds a graph from a graph record. Fails for dim = 0 and for a stored
// vector shorter than dim (longer ones are cut to dim).
Result<std::unique_ptr<Graph>> restore_graph(HnswSnapshot&& snapshot);
// Graph record of a live graph (read paths only; safe beside searches).
HnswSnapshot export_graph(const Graph& g);
// describe_shape's counts, by export_graph's rules.
GraphShape describe_graph(const Graph& g);

// The graph an index owns (for the graph layer's own units and tests).
Graph& graph_of(HnswIndex& index);
const Graph& graph_of(const HnswIndex& index);

}  // namespace ulmora::hnsw
