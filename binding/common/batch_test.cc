#include "batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace ulmora::binding {
namespace {

using ulmora::Status;
using ulmora::StoreError;
using ulmora::hnsw::ScoredNode;

TEST(EffectiveLimits, ClampsToStoredCount) {
  struct Case {
    uint64_t k, ef, count;
    size_t want_k, want_ef;
  };
  const Case cases[] = {
      {20, 128, 5, 5, 5},        // oversized k and ef shrink to the index
      {0, 0, 0, 0, 0},           // empty index
      {10, 3, 100, 10, 10},      // ef raised to k
      {5, 50, 100, 5, 50},       // ef kept
      {5, 500, 100, 5, 100},     // ef lowered to count
      {UINT64_MAX, UINT64_MAX, 7, 7, 7},
  };
  for (const Case& c : cases) {
    const Limits got = effective_limits(c.k, c.ef, c.count);
    EXPECT_EQ(got.k, c.want_k) << c.k << " " << c.ef << " " << c.count;
    EXPECT_EQ(got.ef, c.want_ef) << c.k << " " << c.ef << " " << c.count;
  }
}

TEST(BatchBudget, ChecksInOrder) {
  const uint64_t two63 = uint64_t{1} << 63;
  struct Case {
    uint64_t rows, k;
    const char* want;
  };
  const Case cases[] = {
      {4473924, 20, ""},
      {4473925, 20, "batch output requires 1073742000 bytes; limit is 1073741824"},
      {0, two63, "batch output column count exceeds NumPy's platform limit"},
      {5, two63, "batch output column count exceeds NumPy's platform limit"},
      {4, uint64_t{1} << 62, "batch output shape overflows usize"},
      {2, uint64_t{1} << 61, "batch ID output size overflows usize"},
      {1, uint64_t{1} << 60, "batch output exceeds NumPy's platform limit"},
      {0, two63 - 1, ""},
      {1, 0, ""},
      {1, 89478485, ""},  // 1,073,741,820 bytes
      {1, 89478486, "batch output requires 1073741832 bytes; limit is 1073741824"},
  };
  for (const Case& c : cases) EXPECT_EQ(batch_budget_error(c.rows, c.k), c.want) << c.rows << " x " << c.k;
}

TEST(WorkerPlan, CountsAndChunks) {
  EXPECT_EQ(worker_count(0, 10, 8), 1u);
  EXPECT_EQ(worker_count(1, 10, 8), 1u);
  EXPECT_EQ(worker_count(1000, 100, 8), 8u);
  EXPECT_EQ(worker_count(8, 3, 16), 3u);
  EXPECT_EQ(worker_count(UINT64_MAX, 50, 4), 4u);
  EXPECT_GE(available_parallelism(), 1u);

  // 5 rows over 2 workers: rows 0-1 and 2-4.
  EXPECT_EQ(chunk_begin(0, 5, 2), 0u);
  EXPECT_EQ(chunk_begin(1, 5, 2), 2u);
  EXPECT_EQ(chunk_begin(2, 5, 2), 5u);
  for (size_t rows : {1u, 7u, 100u, 1001u}) {
    for (size_t w = 1; w <= std::min<size_t>(rows, 9); ++w) {
      size_t smallest = rows, largest = 0;
      for (size_t i = 0; i < w; ++i) {
        const size_t size = chunk_begin(i + 1, rows, w) - chunk_begin(i, rows, w);
        smallest = std::min(smallest, size);
        largest = std::max(largest, size);
      }
      EXPECT_EQ(chunk_begin(w, rows, w), rows);
      EXPECT_LE(largest - smallest, 1u) << rows << " rows, " << w << " workers";
    }
  }
}

// A fake index: row r (identified by its first float) has r % 4 results
// with ids 100 * r + i and scores i / 2.
Status fake_search(std::span<const float> query, std::vector<ScoredNode>& out) {
  const auto row = static_cast<uint64_t>(query[0]);
  out.clear();
  for (uint64_t i = 0; i < row % 4; ++i) out.push_back({100 * row + i, static_cast<float>(i) / 2, 0});
  return Status::Ok();
}

struct Batch {
  explicit Batch(size_t rows, size_t dim = 3, size_t k = 3)
      : queries(rows * dim), ids(rows * k, 7), scores(rows * k, -1.0f), rows(rows), dim(dim), k(k) {
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < dim; ++c) queries[r * dim + c] = static_cast<float>(r) + static_cast<float>(c) / 10;
    }
  }
  BatchJob job() { return BatchJob{queries.data(), rows, dim, k, ids.data(), scores.data()}; }
  std::vector<float> queries;
  std::vector<uint64_t> ids;
  std::vector<float> scores;
  size_t rows, dim, k;
};

TEST(BatchRunner, PadsShortRowsAndMatchesForEveryWorkerCount) {
  Batch reference(11);
  ASSERT_EQ(run_batch(reference.job(), 1, fake_search).kind, BatchOutcome::Kind::kOk);
  for (size_t r = 0; r < reference.rows; ++r) {
    const size_t found = r % 4;
    for (size_t i = 0; i < reference.k; ++i) {
      const size_t at = r * reference.k + i;
      if (i < found) {
        EXPECT_EQ(reference.ids[at], 100 * r + i);
        EXPECT_EQ(reference.scores[at], static_cast<float>(i) / 2);
      } else {
        EXPECT_EQ(reference.ids[at], kMissingId);
        EXPECT_EQ(std::bit_cast<uint32_t>(reference.scores[at]), kMissingScoreBits);
      }
    }
  }
  for (size_t workers = 2; workers <= 11; ++workers) {
    Batch b(11);
    ASSERT_EQ(run_batch(b.job(), workers, fake_search).kind, BatchOutcome::Kind::kOk);
    EXPECT_EQ(b.ids, reference.ids) << workers;
    EXPECT_EQ(0, std::memcmp(b.scores.data(), reference.scores.data(), b.scores.size() * sizeof(float)));
  }
}

// Fails on the rows in `fail`, throws on the rows in `panic`, and records
// every row it was asked to search.
struct ScriptedSearch {
  std::vector<uint64_t> fail, panic;
  std::vector<std::atomic<int>> seen;
  explicit ScriptedSearch(size_t rows) : seen(rows) {}
  RowSearch fn() {
    return [this](std::span<const float> q, std::vector<ScoredNode>& out) -> Status {
      const auto row = static_cast<uint64_t>(q[0]);
      seen[row].fetch_add(1);
      for (uint64_t r : panic) {
        if (r == row) throw std::runtime_error("boom");
      }
      for (uint64_t r : fail) {
        if (r == row) return StoreError::PointNotFound(row);
      }
      return fake_search(q, out);
    };
  }
};

TEST(BatchRunner, FirstFailingChunkInChunkOrderDecides) {
  struct Case {
    std::vector<uint64_t> fail, panic;
    size_t workers;
    BatchOutcome::Kind kind;
    std::string text;
  };
  // 8 rows over 4 workers: chunks [0,2) [2,4) [4,6) [6,8).
  const Case cases[] = {
      {{7, 1}, {}, 4, BatchOutcome::Kind::kFailed, "Point with ID 1 not found"},
      {{5}, {6}, 4, BatchOutcome::Kind::kFailed, "Point with ID 5 not found"},
      {{5}, {3}, 4, BatchOutcome::Kind::kFailed, "Ulmora batch worker panicked"},
      {{2, 3}, {}, 4, BatchOutcome::Kind::kFailed, "Point with ID 2 not found"},
      {{6, 2}, {}, 1, BatchOutcome::Kind::kFailed, "Point with ID 2 not found"},
      {{}, {}, 4, BatchOutcome::Kind::kOk, ""},
  };
  for (const Case& c : cases) {
    Batch b(8);
    ScriptedSearch script(8);
    script.fail = c.fail;
    script.panic = c.panic;
    const BatchOutcome got = run_batch(b.job(), c.workers, script.fn());
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.text, c.text);
  }
}

TEST(BatchRunner, FailingChunkStopsButOthersFinish) {
  Batch b(8);
  ScriptedSearch script(8);
  script.fail = {2};  // first row of chunk 1 of 4
  ASSERT_EQ(run_batch(b.job(), 4, script.fn()).kind, BatchOutcome::Kind::kFailed);
  const int want[8] = {1, 1, 1, 0, 1, 1, 1, 1};
  for (size_t r = 0; r < 8; ++r) EXPECT_EQ(script.seen[r].load(), want[r]) << "row " << r;
}

TEST(BatchRunner, SequentialExceptionsReachTheCaller) {
  Batch b(4);
  ScriptedSearch script(4);
  script.panic = {1};
  EXPECT_THROW(run_batch(b.job(), 1, script.fn()), std::runtime_error);
}

// Every worker copies its rows, a group at a time, into its own reusable
// buffer before the search: within a chunk a row's address depends only on
// its place in its group, and it never aliases the shared query matrix.
TEST(BatchRunnerConcurrency, RowsAreCopiedIntoPerThreadBuffers) {
  constexpr size_t kRows = 64, kWorkers = 4, kDim = 5;
  Batch b(kRows, kDim, 2);
  std::vector<const float*> seen_at(kRows);
  std::mutex mu;
  const RowSearch search = [&](std::span<const float> q, std::vector<ScoredNode>& out) {
    const auto row = static_cast<size_t>(q[0]);
    EXPECT_EQ(q.size(), kDim);
    for (size_t c = 0; c < kDim; ++c) EXPECT_EQ(q[c], b.queries[row * kDim + c]);
    {
      std::lock_guard<std::mutex> lock(mu);
      seen_at[row] = q.data();
    }
    return fake_search(q, out);
  };
  ASSERT_EQ(run_batch(b.job(), kWorkers, search).kind, BatchOutcome::Kind::kOk);
  for (size_t i = 0; i < kWorkers; ++i) {
    const size_t begin = chunk_begin(i, kRows, kWorkers), end = chunk_begin(i + 1, kRows, kWorkers);
    for (size_t r = begin; r < end; ++r) {
      const size_t slot = (r - begin) % kGroupRows;
      EXPECT_EQ(seen_at[r] - slot * kDim, seen_at[begin]) << "row " << r;
      EXPECT_TRUE(seen_at[r] < b.queries.data() || seen_at[r] >= b.queries.data() + b.queries.size());
    }
  }
}

}  // namespace
}  // namespace ulmora::binding
