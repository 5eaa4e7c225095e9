#include "batch.h"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <system_error>
#include <thread>

namespace ulmora::binding {

using ulmora::Status;
using ulmora::hnsw::ScoredNode;

Limits effective_limits(uint64_t k, uint64_t ef, uint64_t count) {
  const uint64_t k_eff = std::min(k, count);
  const uint64_t ef_eff = std::max(std::min(std::max(ef, k_eff), count), k_eff);
  return Limits{static_cast<size_t>(k_eff), static_cast<size_t>(ef_eff)};
}

std::string batch_budget_error(uint64_t rows, uint64_t k) {
  constexpr uint64_t kPlatformLimit = uint64_t{1} << 63;  // NumPy sizes are signed 64-bit
  if (k >= kPlatformLimit) return "batch output column count exceeds NumPy's platform limit";
  uint64_t cells = 0, id_bytes = 0, total = 0;
  if (__builtin_mul_overflow(rows, k, &cells)) return "batch output shape overflows usize";
  if (__builtin_mul_overflow(cells, uint64_t{8}, &id_bytes)) return "batch ID output size overflows usize";
  if (id_bytes >= kPlatformLimit) return "batch output exceeds NumPy's platform limit";
  if (__builtin_mul_overflow(cells, uint64_t{12}, &total)) return "combined batch output size overflows usize";
  if (total > kBatchOutputLimit) {
    return "batch output requires " + std::to_string(total) + " bytes; limit is " + std::to_string(kBatchOutputLimit);
  }
  return {};
}

size_t available_parallelism() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

size_t worker_count(uint64_t threads, size_t rows, size_t parallelism) {
  const uint64_t w = std::min<uint64_t>({std::max<uint64_t>(threads, 1), rows, parallelism});
  return static_cast<size_t>(w);
}

size_t chunk_begin(size_t i, size_t rows, size_t workers) {
  return static_cast<size_t>(static_cast<unsigned __int128>(i) * rows / workers);
}

ThreadBuffers& thread_buffers() {
  thread_local ThreadBuffers buffers;
  return buffers;
}

namespace {

// Searches rows [begin, end) into their output rows, up to kGroupRows per
// call. Returns false with the error's display text on the first failing
// row; later rows are skipped.
// The group search with the index of its first row.
using RowsSearch = std::function<Status(size_t first, std::span<const float> queries, size_t count,
                                        std::vector<ScoredNode>* outs, size_t* failed)>;

bool process_rows(const BatchJob& job, size_t begin, size_t end, const RowsSearch& search, std::string* error) {
  ThreadBuffers& buffers = thread_buffers();
  const float nan = std::bit_cast<float>(kMissingScoreBits);
  for (size_t row = begin; row < end;) {
    const size_t count = std::min(kGroupRows, end - row);
    for (size_t i = 0; i < count; ++i) buffers.results[i].clear();
    // The rows go into the thread's own buffer: workers never read the
    // shared matrix while searching.
    buffers.query.assign(job.queries + row * job.dim, job.queries + (row + count) * job.dim);
    size_t failed = 0;
    const Status status = search(row, std::span<const float>(buffers.query), count, buffers.results, &failed);
    const size_t done = status.ok() ? count : std::min(failed, count);
    for (size_t i = 0; i < done; ++i, ++row) {
      const std::vector<ScoredNode>& results = buffers.results[i];
      uint64_t* ids = job.ids + row * job.k;
      float* scores = job.scores + row * job.k;
      const size_t found = std::min(job.k, results.size());
      for (size_t j = 0; j < found; ++j) {
        ids[j] = results[j].node;
        scores[j] = results[j].raw;
      }
      std::fill(ids + found, ids + job.k, kMissingId);
      std::fill(scores + found, scores + job.k, nan);
    }
    if (!status.ok()) {
      *error = status.error().message();
      return false;
    }
  }
  return true;
}

struct ChunkState {
  enum class Kind { kOk, kError, kPanicked } kind = Kind::kOk;
  std::string error;
};

void run_chunk(const BatchJob& job, size_t begin, size_t end, const RowsSearch& search, ChunkState* state) noexcept {
  try {
    if (!process_rows(job, begin, end, search, &state->error)) state->kind = ChunkState::Kind::kError;
  } catch (...) {
    state->kind = ChunkState::Kind::kPanicked;
  }
}

BatchOutcome run_rows(const BatchJob& job, size_t workers, const RowsSearch& search) {
  BatchOutcome outcome;
  if (workers <= 1) {
    if (!process_rows(job, 0, job.rows, search, &outcome.text)) outcome.kind = BatchOutcome::Kind::kFailed;
    return outcome;
  }

  std::vector<ChunkState> states(workers);
  std::vector<std::thread> threads;
  threads.reserve(workers);
  for (size_t i = 0; i < workers; ++i) {
    const size_t begin = chunk_begin(i, job.rows, workers);
    const size_t end = chunk_begin(i + 1, job.rows, workers);
    try {
      threads.emplace_back(run_chunk, std::cref(job), begin, end, std::cref(search), &states[i]);
    } catch (const std::system_error& e) {
      outcome.kind = BatchOutcome::Kind::kThreadStart;
      outcome.text = std::string("failed to start a batch worker thread: ") + e.what();
      break;
    }
  }
  for (std::thread& t : threads) t.join();
  if (outcome.kind == BatchOutcome::Kind::kThreadStart) return outcome;

  for (const ChunkState& state : states) {
    if (state.kind == ChunkState::Kind::kOk) continue;
    outcome.kind = BatchOutcome::Kind::kFailed;
    outcome.text = state.kind == ChunkState::Kind::kError ? state.error : "Ulmora batch worker panicked";
    break;
  }
  return outcome;
}

}  // namespace

BatchOutcome run_batch(const BatchJob& job, size_t workers, const GroupSearch& search) {
  return run_rows(job, workers, [&](size_t, std::span<const float> queries, size_t count,
                                    std::vector<ScoredNode>* outs, size_t* failed) {
    return search(queries, count, outs, failed);
  });
}

BatchOutcome run_batch(const BatchJob& job, size_t workers, const RowSearch& search) {
  return run_batch(job, workers, [&](size_t, std::span<const float> query, std::vector<ScoredNode>& out) {
    return search(query, out);
  });
}

BatchOutcome run_batch(const BatchJob& job, size_t workers, const IndexedRowSearch& search) {
  return run_rows(job, workers, [&](size_t first, std::span<const float> queries, size_t count,
                                    std::vector<ScoredNode>* outs, size_t* failed) {
    const size_t dim = count ? queries.size() / count : 0;
    for (size_t i = 0; i < count; ++i) {
      Status status = search(first + i, queries.subspan(i * dim, dim), outs[i]);
      if (!status.ok()) {
        *failed = i;
        return status;
      }
    }
    return Status::Ok();
  });
}

}  // namespace ulmora::binding
