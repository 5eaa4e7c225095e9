// The one search call path of both extension modules: the argument record,
// the options it becomes, the single-query and batch calls, and their result
// arrays. What differs between the modules stays with their methods: the
// accepted arguments and defaults, which checks run first and their wording,
// where the graph comes from and how a failed search is raised (both through
// a SearchTarget).
//
// Called with the GIL held; the searches themselves run without it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "base/error.h"
#include "format/payload.h"
#include "numpy_bridge.h"
#include "segment/filtered_search.h"
#include "vector/hnsw/index.h"
#include "vector/hnsw/search.h"

namespace ulmora::binding {

// The scalar arguments of one search call, converted.
struct SearchArgs {
  uint64_t k = 0;
  std::optional<uint64_t> ef;  // absent: the graph's stored beam width
  bool sq8_screen = false;
  uint64_t scan_cap = 0;  // 0 = uncapped
  uint64_t patience = 2;
  uint64_t threads = 1;            // batches only; 0 and 1 run sequentially
  std::optional<uint64_t> rerank;  // absent: VECTORDB_SQ8_RERANK_FACTOR
  // Filtered search (segments only). `filters`: none, one for every row, or
  // one per row of a batch; a filter matching everything counts as none.
  const std::vector<Filter>* filters = nullptr;
  SearchRoute route = SearchRoute::kAuto;
  bool with_payload = false;
  // Whether the call needs the segment rather than only its graph.
  bool on_segment() const {
    return (filters && !filters->empty()) || route == SearchRoute::kExact || with_payload;
  }
};

// Calls from Python always set ef, scan_cap, early-exit patience and SQ8
// screening, so the matching environment values never apply to them; the
// SQ8 rerank factor only when the call names one. `ef` is the effective
// beam width.
hnsw::SearchOptions search_options(const SearchArgs& args, size_t ef);

// Converts an optional `rerank` argument: None (or absent) leaves it unset;
// otherwise an integer of at least 1 (TypeError, OverflowError as to_u64;
// ValueError for 0).
bool to_rerank(PyObject* obj, const char* func, std::optional<uint64_t>* out);

// Converts the per-call search options that both modules take by the same
// names: sq8_screen (bool), scan_cap and patience (u64), rerank (as
// to_rerank). A null object leaves the field as it is.
bool to_search_options(PyObject* sq8_screen, PyObject* scan_cap, PyObject* patience, PyObject* rerank,
                       const char* func, SearchArgs* out);

// ValueError "{name} contains a non-finite value at {position} {at}"; each
// module words the position its own way ("flat index", "index").
void raise_non_finite(const char* name, const char* position, size_t at);

// Where a call finds its graph and how it reports a failed search.
class SearchTarget {
 public:
  using GraphCall = std::function<Status(const hnsw::HnswIndex&)>;
  // Runs `call` on the graph with the GIL released. When `searches` is
  // false the call returns at once without searching, and a target may keep
  // the GIL for it.
  virtual Status with_graph(const GraphCall& call, bool searches) const = 0;
  // Sets the Python exception for a failed call (GIL held).
  virtual void raise(const StoreError& error) const = 0;

  // Runs `call` on the whole segment (payloads, filters) with the GIL
  // released and the segment held still. Targets without a segment refuse.
  using SegmentCall = std::function<Status(const Segment&)>;
  virtual Status with_segment(const SegmentCall& call) const;
  // A new reference to the Python form of a payload (GIL held).
  virtual PyObject* payload_object(const Payload& payload) const;

 protected:
  ~SearchTarget() = default;
};

// One query (validated and copied into memory the call owns) -> a tuple
// (ids uint64[m], scores float32[m]), m <= k, no padding; with a filter
// m = min(k, matches). With with_payload a third item: a list of m payload
// dicts (None for a point without one). A query whose
// length is not the graph's dimension fails with VectorLengthMismatch
// through the target.
PyObject* search_one(const NumpyHandles& np, const SearchTarget& target, std::span<const float> query,
                     const SearchArgs& args);

// `rows` queries of `dim` floats, row-major (validated; read with the GIL
// held, before any search) -> a tuple (ids uint64[rows, k], scores
// float32[rows, k]), short rows padded; with with_payload a third item, a
// list of rows lists of k payloads (None where padded or absent). A filter
// shared by all rows has its match set built once. OverflowError when the output is
// over budget; RuntimeError with the failing row's text; the internal-failure
// exception when a worker thread cannot be started.
PyObject* search_many(const NumpyHandles& np, const SearchTarget& target, const float* queries, size_t rows,
                      size_t dim, const SearchArgs& args);

// A tuple (ids uint64[n], scores float32[n]) of search results, in order.
PyObject* results_to_arrays(const NumpyHandles& np, std::span<const hnsw::ScoredNode> results);

}  // namespace ulmora::binding
