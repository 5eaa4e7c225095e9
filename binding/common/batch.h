// The native side of the search calls: effective k and beam width, the
// batch output budget, the worker plan, and the batch runner that fans rows
// out over worker threads. Nothing here touches Python; the runner is called
// with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "vector/hnsw/search.h"

namespace ulmora::binding {

// Padding of a batch row with fewer results than k.
inline constexpr uint64_t kMissingId = UINT64_MAX;
inline constexpr uint32_t kMissingScoreBits = 0x7FC00000u;  // quiet NaN
// Both result matrices together (8 + 4 bytes per cell) may take this much.
inline constexpr uint64_t kBatchOutputLimit = uint64_t{1} << 30;

struct Limits {
  size_t k;   // min(k, count)
  size_t ef;  // ef raised to at least k', then lowered to at most count
};
// Clamps the requested k and ef to the stored-point count, so an oversized
// request never sizes a search structure beyond the index.
Limits effective_limits(uint64_t k, uint64_t ef, uint64_t count);

// The OverflowError text for a (rows, k) batch output that is too large for
// the budget or for NumPy, or an empty string when it fits.
std::string batch_budget_error(uint64_t rows, uint64_t k);

// Logical processors this process may run on (at least 1). Queried afresh
// on every call.
size_t available_parallelism();
// min(max(threads, 1), rows, parallelism).
size_t worker_count(uint64_t threads, size_t rows, size_t parallelism);
// First row of chunk i when `rows` are split into `workers` contiguous
// chunks: floor(i * rows / workers). Chunk sizes differ by at most one.
size_t chunk_begin(size_t i, size_t rows, size_t workers);

// Rows one search_group call takes.
inline constexpr size_t kGroupRows = ulmora::hnsw::kSearchGroup;

// Buffers every searching thread keeps for its whole life: the copy of the
// current group of rows and one native result list per row. Never shared.
struct ThreadBuffers {
  std::vector<float> query;
  std::vector<ulmora::hnsw::ScoredNode> results[kGroupRows];
};
ThreadBuffers& thread_buffers();

// Searches one query into `out` (node = point id). Called from several
// threads at once in a parallel batch.
using RowSearch =
    std::function<ulmora::Status(std::span<const float> query, std::vector<ulmora::hnsw::ScoredNode>& out)>;
// Searches `count` (1..kGroupRows) consecutive rows, row-major in `queries`,
// into outs[0..count); on an error *failed is the first failing row (the
// rows before it are done).
using GroupSearch = std::function<ulmora::Status(std::span<const float> queries, size_t count,
                                                 std::vector<ulmora::hnsw::ScoredNode>* outs, size_t* failed)>;

// One batch: `rows` queries of `dim` floats (module-owned, row-major) and
// the (rows, k) output matrices to fill.
struct BatchJob {
  const float* queries;
  size_t rows;
  size_t dim;
  size_t k;  // the requested k: the column count, not the clamped one
  uint64_t* ids;
  float* scores;
};

struct BatchOutcome {
  enum class Kind {
    kOk,
    kFailed,       // a row failed or a worker died; `text` is the call's error
    kThreadStart,  // a worker thread could not be started; `text` says why
  };
  Kind kind = Kind::kOk;
  std::string text;
};

// Fills the output. With workers <= 1 the calling thread searches every row
// in order (its exceptions propagate to the caller). Otherwise `workers`
// threads each take one contiguous chunk; the caller only joins them. The
// first chunk in chunk order that failed decides the error; a worker that
// ended by an exception reports "Ulmora batch worker panicked". Every
// started worker has finished when this returns.
BatchOutcome run_batch(const BatchJob& job, size_t workers, const GroupSearch& search);
// The same, one row per call.
BatchOutcome run_batch(const BatchJob& job, size_t workers, const RowSearch& search);
// The same, one row per call with its row number (per-row arguments).
using IndexedRowSearch = std::function<ulmora::Status(size_t row, std::span<const float> query,
                                                      std::vector<ulmora::hnsw::ScoredNode>& out)>;
BatchOutcome run_batch(const BatchJob& job, size_t workers, const IndexedRowSearch& search);

}  // namespace ulmora::binding
