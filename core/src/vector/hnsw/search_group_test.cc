// Grouped searches (several queries' beams advanced in turn on one thread)
// and frozen graphs (fixed rows for every level, scores kept for Cosine
// only, no id map, no state checks when every node is linked) must answer
// exactly as one plain search per query does.
#include <gtest/gtest.h>

#include <thread>

#include "vector/hnsw/test_graphs.h"

namespace ulmora::hnsw {
namespace {

using namespace testing;  // NOLINT: the shared test graphs and helpers

// A graph grown by insertion, so it has upper levels, every metric.
std::unique_ptr<Graph> grown(Metric metric, size_t n, uint32_t seed, size_t dim = 12) {
  auto g = std::make_unique<Graph>(metric, 8, 32, 16, dim);
  auto data = random_vectors(n, dim, seed);
  for (size_t i = 0; i < n; ++i) EXPECT_TRUE(g->insert(100 + i, data[i]).ok());
  return g;
}

std::vector<SearchOptions> option_sets() {
  std::vector<SearchOptions> opts(8);
  opts[1].sq8_screen = true;
  opts[2].rerank_factor = 2;
  opts[3].sq8_score_only = true;
  opts[4].triangle_skip = true;
  opts[5].scan_cap = 5;
  opts[6].entry_seeds = 3;
  opts[7].adaptive_ef_high = 64;
  opts[7].adaptive_ef_threshold = -1e30f;
  return opts;
}

void expect_same(const std::vector<ScoredNode>& got, const std::vector<ScoredNode>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].node, want[i].node) << what << " rank " << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].raw), std::bit_cast<uint32_t>(want[i].raw)) << what << " rank " << i;
  }
}

struct Case {
  Metric metric;
  bool deletes;
  size_t dim = 12;  // above 256 floats the level-0 beams run one by one; the descents still interleave
};

class FrozenAndGrouped : public ::testing::TestWithParam<Case> {};

TEST_P(FrozenAndGrouped, AnswerAsOnePlainSearchPerQuery) {
  const Case c = GetParam();
  auto g = grown(c.metric, 700, 31, c.dim);
  ASSERT_GT(g->layer_count(), 1u);
  g->quantize_sq8();
  if (c.deletes) {
    for (uint64_t id : {100, 117, 350, 799}) g->mark_deleted(id);
  }
  const auto opts = option_sets();
  const auto queries = random_vectors(9, c.dim, 32);
  std::vector<std::vector<ScoredNode>> want;
  for (const auto& q : queries)
    for (const auto& o : opts) want.push_back(run(*g, q, 10, o));

  for (bool frozen : {false, true}) {
    if (frozen) {
      g->freeze();
      EXPECT_EQ(g->all_linked, !c.deletes);
      EXPECT_TRUE(g->layer(0).packed_fixed());
      EXPECT_TRUE(g->layer(1).packed_fixed());  // sparse: rows by rank
      // The id map went (ids 100.. are contiguous); lookups still answer.
      for (uint64_t i = 0; i < 700; ++i) ASSERT_EQ(g->index_of(100 + i), i);
      EXPECT_FALSE(g->contains(99));
      EXPECT_FALSE(g->contains(800));
    }
    const std::string mode = std::string(metric_name(c.metric)) + (frozen ? " frozen" : " live");
    // Plain searches on the frozen graph.
    for (size_t q = 0; q < queries.size(); ++q)
      for (size_t o = 0; o < opts.size(); ++o)
        expect_same(run(*g, queries[q], 10, opts[o]), want[q * opts.size() + o], mode + " single");
    // Groups of every size, including a short last group.
    for (size_t size = 1; size <= kSearchGroup; ++size) {
      for (size_t o = 0; o < opts.size(); ++o) {
        for (size_t first = 0; first < queries.size(); first += size) {
          const size_t count = std::min(size, queries.size() - first);
          std::vector<float> rows;
          for (size_t i = 0; i < count; ++i) rows.insert(rows.end(), queries[first + i].begin(), queries[first + i].end());
          std::vector<ScoredNode> outs[kSearchGroup];
          size_t failed = 99;
          ASSERT_TRUE(g->search_group(rows, count, 10, opts[o], outs, &failed).ok());
          for (size_t i = 0; i < count; ++i)
            expect_same(outs[i], want[(first + i) * opts.size() + o], mode + " group of " + std::to_string(size));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, FrozenAndGrouped,
                         ::testing::Values(Case{Metric::kCosine, false}, Case{Metric::kCosine, true},
                                           Case{Metric::kDot, false}, Case{Metric::kDot, true},
                                           Case{Metric::kEuclidean, false}, Case{Metric::kEuclidean, true},
                                           Case{Metric::kCosine, true, 300}, Case{Metric::kEuclidean, false, 300}),
                         [](const auto& info) {
                           return std::string(metric_name(info.param.metric)) + (info.param.deletes ? "Deletes" : "") +
                                  (info.param.dim != 12 ? "Wide" : "");
                         });

TEST(SearchGroup, ReportsTheFirstFailingRowAndEmptyIndexAnswersNothing) {
  auto g = grown(Metric::kEuclidean, 50, 33);
  std::vector<float> rows(2 * 11, 0.5f);  // rows of 11 floats on a 12-dim graph
  std::vector<ScoredNode> outs[kSearchGroup];
  size_t failed = 99;
  Status st = g->search_group(rows, 2, 5, {}, outs, &failed);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(failed, 0u);
  EXPECT_EQ(st.error().message(), StoreError::VectorLengthMismatch(12, 11).message());

  Graph empty(Metric::kEuclidean, 8, 32, 16, 12);
  std::vector<float> two(24, 0.5f);
  outs[0].assign(3, ScoredNode{1, 0, 0});
  ASSERT_TRUE(empty.search_group(two, 2, 5, {}, outs, &failed).ok());
  EXPECT_TRUE(outs[0].empty() && outs[1].empty());
}

// Each thread has its own group scratch; a frozen graph is shared by all.
TEST(SearchGroupConcurrencyTest, ThreadsGroupingOnOneGraphMatchSequentialSearches) {
  auto g = grown(Metric::kCosine, 600, 34);
  g->freeze();
  const auto queries = random_vectors(16, 12, 35);
  std::vector<std::vector<ScoredNode>> want;
  for (const auto& q : queries) want.push_back(run(*g, q, 10));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      std::vector<ScoredNode> outs[kSearchGroup];
      for (int round = 0; round < 5; ++round) {
        for (size_t first = 0; first < queries.size(); first += kSearchGroup) {
          std::vector<float> rows;
          for (size_t i = 0; i < kSearchGroup; ++i)
            rows.insert(rows.end(), queries[first + i].begin(), queries[first + i].end());
          size_t failed = 0;
          if (!g->search_group(rows, kSearchGroup, 10, {}, outs, &failed).ok()) ++mismatches;
          for (size_t i = 0; i < kSearchGroup; ++i)
            if (ids_of(outs[i]) != ids_of(want[first + i])) ++mismatches;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace ulmora::hnsw
