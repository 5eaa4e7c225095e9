// HnswIndex: the graph layer's public surface. It owns one graph (its
// columns, parameters and locks stay private to the layer) and offers what
// restore, insertion, search, statistics and the segment and bindings need.
//
// Threading: every const member and insert() may run concurrently with
// each other; mark_deleted(), quantize_sq8() and extend_sq8() need the
// caller to keep other writers out (the segment serialises its mutations),
// and the last two also searches.
//
// What the layers above may include from vector/hnsw: this header,
// search.h (options, results, counters), config.h (tuning values),
// filter_edges.h (filter-edge links) and restore_stream.h (streamed load).
// Every other header here is internal to the graph.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "format/snapshot.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {

enum class NodeState : uint8_t { kPending = 0, kLinked = 1, kDeleted = 2 };

class Graph;

class HnswIndex {
 public:
  // New empty index. Reads VECTORDB_LEVEL_SCALE(_MULT), VECTORDB_MAX_LEVEL_CAP,
  // VECTORDB_MAX_LEVEL afresh; requires dim > 0.
  HnswIndex(Metric metric, uint64_t m, uint64_t ef_search, uint64_t level_cap, uint64_t dim);
  ~HnswIndex();
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // ---- Parameters ----
  Metric metric() const;
  uint64_t dim() const;
  uint64_t m() const;
  uint64_t ef_search() const;
  uint64_t ef_construction() const;
  uint64_t level_cap() const;

  // ---- Nodes ----
  uint64_t len() const;  // allocated nodes, deleted ones included
  uint64_t deleted_count() const;
  bool contains(uint64_t point_id) const;  // deleted nodes included
  std::optional<uint64_t> index_of(uint64_t point_id) const;
  // Many lookups under one lock: out[i] = the node of ids[i] or
  // IdMap::kAbsent.
  void indexes_of(std::span<const uint64_t> ids, uint64_t* out) const;
  // Bit i of `words` (zeroed, (nodes + 63) / 64) set for every node i <
  // nodes with a live vector.
  void live_bits(uint64_t nodes, uint64_t* words) const;
  // The stored vector of a point not deleted, or nullptr.
  const float* vector_of(uint64_t point_id) const;
  NodeState state(uint64_t i) const;
  uint64_t point_id(uint64_t i) const;
  // The stored (prepared) vector of node i, or nullptr when i >= len().
  const float* vector(uint64_t i) const;
  // As vector(i), but nullptr also when node i is deleted.
  const float* live_vector(uint64_t i) const;

  // ---- Mutations ----
  // Concurrent with searches and other inserts. A known id is left as it is
  // (the segment refuses it before); VectorLengthMismatch for a vector that
  // is not dim long.
  Status insert(uint64_t point_id, std::span<const float> vector);
  void mark_deleted(uint64_t point_id);
  // Draws node levels from a hash of (seed, point id) from here on instead
  // of the OS-seeded generator: a one-thread build then repeats exactly.
  // Call before the first insert.
  void seed_levels(uint64_t seed);
  // Builds 8-bit codes of every stored vector for the SQ8 routes.
  void quantize_sq8();
  // Codes for the nodes added since, on the scales quantize_sq8() chose
  // (Euclidean values outside them clamp). No-op when not quantized. The
  // code column may move: no search may run beside it.
  void extend_sq8();
  // Declares the index read-only from here on (call before sharing it):
  // searches then read neighbour lists in place without their locks, and
  // insert() is refused. mark_deleted() must not be called afterwards.
  void freeze();
  bool frozen() const;
  // Whether quantize_sq8() has built codes.
  bool quantized() const;

  // ---- Search ----
  // Best k points (node field = point id), ascending key, ties by point id.
  // `out` is reused; a search allocates nothing once buffers are warm.
  Status search(std::span<const float> query, size_t k, const SearchOptions& options,
                std::vector<ScoredNode>& out) const;
  // Up to kGroup queries of dim() floats each, row-major in `queries`,
  // each answered exactly as search() answers it, into outs[i]. One thread
  // advances their beams side by side, so one query's memory waits overlap
  // another's work. On an error *failed is the first failing row.
  static constexpr size_t kGroup = kSearchGroup;
  Status search_group(std::span<const float> queries, size_t count, size_t k, const SearchOptions& options,
                      std::vector<ScoredNode>* outs, size_t* failed) const;

  // ---- Search within a subset of nodes (filtered search, filtered.cc) ----
  // The best k nodes of `subset` that are not deleted, by an exact scan with
  // the same prepared query and kernels as search(), so scores equal the
  // graph's bit for bit. Same ordering and result form as search().
  Status scan_subset(std::span<const float> query, size_t k, const NodeSubset& subset,
                     std::vector<ScoredNode>& out) const;
  // A level-0 walk that moves through every node but admits only nodes of
  // `subset` (a bitmap) into the results, reading neighbours' neighbours
  // when nearly all of a node's neighbours are outside it. Beam width:
  // options.ef or the stored one, at least k; other options do not apply.
  // Bounded by `limits` (WalkLimits; over_budget or declined in the
  // counters, no results then). Up to k results, ordered as search() orders
  // them.
  Status walk_subset(std::span<const float> query, size_t k, const SearchOptions& options,
                     const NodeSubset& subset, const WalkLimits& limits, WalkCounters* counters,
                     std::vector<ScoredNode>& out) const;

 private:
  explicit HnswIndex(std::unique_ptr<Graph> graph);
  std::unique_ptr<Graph> graph_;
  friend Graph& graph_of(HnswIndex& index);
  friend const Graph& graph_of(const HnswIndex& index);
  friend Result<std::unique_ptr<HnswIndex>> restore(HnswSnapshot&& snapshot);
  friend class StreamRestore;  // restore_stream.cc
};

// Builds an index from a graph record. Fails for dim = 0 and for a stored
// vector shorter than dim (longer ones are cut to dim).
Result<std::unique_ptr<HnswIndex>> restore(HnswSnapshot&& snapshot);
// Graph record of a live index (read paths only; safe beside searches).
HnswSnapshot export_snapshot(const HnswIndex& index);

// What export_snapshot's record would hold, counted without building it:
// the stored nodes, nodes per level, and per level the lengths of the lists
// it would write (lists left empty once entries past the nodes are dropped
// are not written, so not counted).
struct GraphShape {
  struct Lists {
    uint64_t count = 0, entries = 0, shortest = 0, longest = 0;
  };
  uint64_t nodes = 0;
  std::vector<uint64_t> per_level;  // nodes whose level is at least l
  std::vector<Lists> lists;         // per layer; count 0 where no list would be written
};
GraphShape describe_shape(const HnswIndex& index);

}  // namespace ulmora::hnsw
