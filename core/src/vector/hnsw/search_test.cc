#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <set>
#include <thread>

#include "vector/hnsw/graph.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"
#include "vector/kernels/kernels.h"

// Counts heap allocations made by the calling thread while counting is on.
namespace {
thread_local bool g_count_allocs = false;
thread_local size_t g_allocs = 0;
}  // namespace

// Every non-aligned form is replaced so that each new/delete pair is
// malloc/free (sanitizers check the pairing).
namespace {
__attribute__((noinline)) void* counted_malloc(size_t n) noexcept {
  if (g_count_allocs) ++g_allocs;
  return std::malloc(n ? n : 1);
}
}  // namespace

__attribute__((noinline)) void* operator new(size_t n) {
  if (void* p = counted_malloc(n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](size_t n) {
  if (void* p = counted_malloc(n)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new(size_t n, const std::nothrow_t&) noexcept { return counted_malloc(n); }
__attribute__((noinline)) void* operator new[](size_t n, const std::nothrow_t&) noexcept { return counted_malloc(n); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ulmora::hnsw {
namespace {

using namespace testing;  // NOLINT: the shared test graphs and helpers


// ---- Top-level contract ---------------------------------------------------

TEST(SearchTest, EmptyIndexAnswersAnyQueryWithNothing) {
  TestGraph g;
  g.dim = 3;
  auto ix = build(g);
  ASSERT_TRUE(ix);
  std::vector<ScoredNode> out{{1, 1, 1}};
  EXPECT_TRUE(ix->search(std::vector<float>{1, 2}, 5, {}, out).ok());  // wrong length too
  EXPECT_TRUE(out.empty());
}

TEST(SearchTest, WrongQueryLengthFails) {
  auto ix = build(chain(4));
  std::vector<ScoredNode> out;
  Status st = ix->search(std::vector<float>{1, 2}, 3, {}, out);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::kVectorLengthMismatch);
  EXPECT_EQ(st.error().message(), "Vector length mismatch: expected 1, got 2");
  std::vector<ScoredNode> layer_out;
  uint64_t seed = 0;
  st = search_layer(*ix, Req(*ix, std::vector<float>{1, 2}, 4), {&seed, 1}, 0, layer_out);
  EXPECT_FALSE(st.ok());
}

TEST(SearchTest, EfIsRaisedToKAndResultHoldsAtMostK) {
  auto ix = build(chain(40));
  SearchOptions o;
  o.ef = 1;
  auto out = run(*ix, {0.0f}, 5, o);
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(run(*ix, {0.0f}, 0, o).size(), 0u);
}

TEST(SearchTest, RawScoresAndKeysPerMetric) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kEuclidean}) {
    auto data = testing::random_vectors(50, 8, 7);
    TestGraph g = testing::knn_graph(metric, data, 8);
    auto ix = build(g);
    std::vector<float> q = testing::random_vectors(1, 8, 99)[0];
    auto out = run(*ix, q, 5);
    ASSERT_EQ(out.size(), 5u);
    std::vector<float> pq = metric == Metric::kCosine ? testing::normalized(q) : q;
    for (const ScoredNode& n : out) {
      auto [raw, key] = testing::reference_score(metric, pq, g.vectors.at(n.node));
      EXPECT_NEAR(n.raw, raw, 1e-4);
      EXPECT_NEAR(n.key, key, 1e-4);
    }
    expect_well_ordered(out);
  }
}

// ---- Exact scan ----------------------------------------------------------

TEST(SearchTest, ExactScanMatchesBruteForceAndSkipsDeletedOnly) {
  auto data = testing::random_vectors(60, 6, 3);
  TestGraph g = testing::knn_graph(Metric::kEuclidean, data, 4);
  g.deleted = {5, 17};
  auto ix = build(g);
  ix->exact_fallback_enabled = true;
  ix->exact_fallback_threshold = 1000;
  ix->node_states.set(9, static_cast<uint8_t>(NodeState::kPending));  // pending: still scanned
  std::vector<bool> skip(60, false);
  skip[5] = skip[17] = true;
  std::vector<float> q = data[9];
  auto out = run(*ix, q, 10);
  EXPECT_EQ(ids_of(out), testing::brute_force(Metric::kEuclidean, data, q, 10, &skip));
  EXPECT_EQ(out.front().node, 9u);

  std::vector<ScoredNode> all;
  exact_scan(*ix, q, all);
  ASSERT_EQ(all.size(), 58u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].node, all[i].node);  // index order
}

TEST(SearchTest, ExactScanBreaksTiesByPointId) {
  TestGraph g;
  g.dim = 2;
  for (uint64_t id : {40, 10, 30, 20}) g.add(id, {1.0f, 1.0f});
  g.add(5, {9.0f, 9.0f});
  for (uint64_t id : {5, 10, 20, 30, 40}) g.link(0, id, {id});
  g.entry = 5;
  auto ix = build(g);
  ix->exact_fallback_enabled = true;
  auto out = run(*ix, {1.0f, 1.0f}, 3);
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{10, 20, 30}));
}

// ---- Graph walk: ties, deleted and pending nodes ---------------------------

TEST(SearchTest, EqualKeysComeBackInPointIdOrder) {
  TestGraph g;
  g.dim = 2;
  std::vector<uint64_t> ids{7, 3, 11, 5, 9, 1};
  for (uint64_t id : ids) g.add(id, {2.0f, 0.0f});
  g.add(100, {0.0f, 0.0f});
  std::vector<uint64_t> hub{100, 11, 9, 7, 5, 3, 1};
  g.link(0, 100, hub);
  for (uint64_t id : ids) g.link(0, id, {id, 100});
  g.entry = 100;
  auto ix = build(g);
  auto out = run(*ix, {2.0f, 0.0f}, 4);
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{1, 3, 5, 7}));
  expect_well_ordered(out);
}

TEST(SearchTest, DeletedAndPendingNodesAreNeverReturnedNorWalkedThrough) {
  for (bool pending : {false, true}) {
    TestGraph g = chain(8);
    if (!pending) g.deleted = {3};
    auto ix = build(g);
    if (pending) ix->node_states.set(3, static_cast<uint8_t>(NodeState::kPending));
    auto out = run(*ix, {7.0f}, 8);
    EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{2, 1, 0})) << "pending=" << pending;
  }
}

TEST(SearchTest, AllDeletedGraphWithKeptEntryReturnsNothing) {
  TestGraph g = chain(5);
  g.deleted = {0, 1, 2, 3, 4};
  g.entry = 2;
  auto ix = build(g);
  ASSERT_EQ(entry_index(ix->entry.load()), 2u);
  EXPECT_TRUE(run(*ix, {2.0f}, 3).empty());
  // The beam itself has no Linked node to fall back on.
  std::vector<ScoredNode> out;
  uint64_t seed = 2;
  ASSERT_TRUE(search_layer(*ix, Req(*ix, std::vector<float>{2.0f}, 4), {&seed, 1}, 0, out).ok());
  EXPECT_TRUE(out.empty());
}

TEST(SearchTest, UnadmissibleSeedFallsBackToLowestLinkedNode) {
  TestGraph g = chain(6);
  g.deleted = {0, 1};
  auto ix = build(g);
  std::vector<ScoredNode> out;
  uint64_t seeds[] = {0, 99};
  ASSERT_TRUE(search_layer(*ix, Req(*ix, std::vector<float>{5.0f}, 2), seeds, 0, out).ok());
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{5, 4}));
}

TEST(SearchTest, FallbackSeedMustBeOnTheSearchedLevel) {
  TestGraph g = chain(6);
  g.max_level = 1;
  g.levels[4] = 1;
  g.levels[5] = 1;
  g.link(1, 4, {4, 5});
  g.link(1, 5, {5, 4});
  g.deleted = {5};
  g.entry = 5;
  auto ix = build(g);
  std::vector<ScoredNode> out;
  uint64_t seed = 5;  // deleted: not admitted
  ASSERT_TRUE(search_layer(*ix, Req(*ix, std::vector<float>{0.0f}, 4), {&seed, 1}, 1, out).ok());
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{4}));  // not node 0, which has no level 1
  g.deleted = {4, 5};
  auto none = build(g);
  ASSERT_TRUE(search_layer(*none, Req(*none, std::vector<float>{0.0f}, 4), {&seed, 1}, 1, out).ok());
  EXPECT_TRUE(out.empty());
}

TEST(SearchTest, NanVectorsKeepResultsOrderedAndUnique) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kEuclidean}) {
    auto data = testing::random_vectors(120, 4, 11);
    TestGraph g = testing::knn_graph(metric, data, 10);
    for (uint64_t id = 0; id < 120; id += 3) g.vectors[id][id % 4] = kNaN;
    auto ix = build(g);
    for (bool exact : {false, true}) {
      ix->exact_fallback_enabled = exact;
      auto out = run(*ix, data[1], 30);
      ASSERT_FALSE(out.empty());
      std::set<uint64_t> ids;
      bool seen_nan = false;
      for (const ScoredNode& n : out) {
        EXPECT_TRUE(ids.insert(n.node).second);
        if (std::isnan(n.raw)) {
          seen_nan = true;
        } else {
          EXPECT_FALSE(seen_nan) << "a NaN score sorted before a number";
        }
      }
      for (size_t i = 1; i < out.size(); ++i) EXPECT_LE(out[i - 1].key, out[i].key);
    }
  }
}

// ---- Greedy descent ----------------------------------------------------------

TEST(SearchTest, GreedyStepTakesFirstStrictImprovementOverLinkedNodes) {
  TestGraph g;
  g.dim = 1;
  g.max_level = 1;
  g.add(0, {10.0f});
  g.add(1, {4.0f});   // better than 0
  g.add(2, {0.0f});   // best
  g.add(3, {10.0f});  // same key as 0
  g.add(4, {1.0f});   // deleted
  g.add(5, {2.0f});   // only on level 0
  for (uint64_t id = 0; id < 5; ++id) g.levels[id] = 1;
  g.link(1, 0, {0, 3, 4, 1, 2});
  g.link(1, 1, {1});
  g.link(1, 2, {2});
  g.link(1, 3, {3});
  g.link(1, 4, {4});
  g.deleted = {4};
  for (uint64_t id = 0; id < 6; ++id) g.link(0, id, {id});
  g.entry = 0;
  auto ix = build(g);
  std::vector<float> q{0.0f};
  EXPECT_EQ(greedy_step_down(*ix, q, 0, 1), 1u);  // skips 3 (equal) and 4 (deleted), stops at 1
  EXPECT_EQ(greedy_step_down(*ix, q, 2, 1), 2u);  // only itself
  EXPECT_EQ(greedy_step_down(*ix, q, 5, 1), 5u);  // no list on level 1
  EXPECT_EQ(greedy_step_down(*ix, q, 0, 7), 0u);  // not a level of the index
}

// ---- Adaptive ef -------------------------------------------------------------

TEST(SearchTest, AdaptiveRerunReplacesOnlyAStrictlyBetterList) {
  auto ix = build(chain(100));
  SearchOptions o;
  o.ef = 2;  // expansion cap 4: the walk stops early on the chain
  auto narrow = run(*ix, {99.0f}, 1, o);
  ASSERT_EQ(narrow.size(), 1u);
  EXPECT_LT(narrow[0].node, 99u);
  o.adaptive_ef_high = 400;
  o.adaptive_ef_threshold = 1.0f;
  EXPECT_EQ(ids_of(run(*ix, {99.0f}, 1, o)), (std::vector<uint64_t>{99}));
  o.adaptive_ef_threshold = 1e9f;  // best key is below the threshold: no rerun
  EXPECT_EQ(ids_of(run(*ix, {99.0f}, 1, o)), ids_of(narrow));
  o.adaptive_ef_threshold = 1.0f;
  o.adaptive_ef_high = 2;  // not above ef: no rerun
  EXPECT_EQ(ids_of(run(*ix, {99.0f}, 1, o)), ids_of(narrow));
}

TEST(SearchTest, EntrySeedsComeFromALevelOneBeam) {
  auto data = testing::random_vectors(300, 8, 21);
  TestGraph g = testing::knn_graph(Metric::kEuclidean, data, 12);
  g.layers[1] = g.layers[0];
  for (uint64_t i = 0; i < 300; ++i) g.levels[i] = 1;
  g.max_level = 1;
  auto ix = build(g);
  SearchOptions o;
  o.entry_seeds = 4;
  o.ef = 100;
  auto out = run(*ix, data[150], 10, o);
  EXPECT_EQ(ids_of(out), testing::brute_force(Metric::kEuclidean, data, data[150], 10));
}

// ---- Recall ------------------------------------------------------------------

class RecallTest : public ::testing::TestWithParam<Metric> {};

TEST_P(RecallTest, Ef128FindsNearlyAllTrueNeighbours) {
  const Metric metric = GetParam();
  auto data = testing::random_vectors(2000, 24, 5);
  TestGraph g = testing::knn_graph(metric, data, 16);
  auto ix = build(g);
  std::vector<std::vector<float>> stored(data.size());
  for (uint64_t i = 0; i < data.size(); ++i) stored[i] = g.vectors.at(i);
  auto queries = testing::random_vectors(50, 24, 6);
  SearchOptions o;
  o.ef = 128;
  size_t hits = 0;
  for (auto& q : queries) {
    auto out = run(*ix, q, 10, o);
    std::vector<float> pq = metric == Metric::kCosine ? testing::normalized(q) : q;
    auto truth = testing::brute_force(metric, stored, pq, 10);
    std::set<uint64_t> t(truth.begin(), truth.end());
    for (const ScoredNode& n : out) hits += t.count(n.node);
    expect_well_ordered(out);
  }
  EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.size()), 0.95);
}

INSTANTIATE_TEST_SUITE_P(Metrics, RecallTest, ::testing::Values(Metric::kCosine, Metric::kDot, Metric::kEuclidean),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// ---- Steady state -----------------------------------------------------------------

TEST(SearchTest, RepeatedSearchesAllocateNothing) {
  auto data = testing::random_vectors(600, 16, 40);
  auto ix = build(testing::knn_graph(Metric::kCosine, data, 10));
  ix->quantize_sq8();
  std::vector<SearchOptions> opts(5);
  opts[1].sq8_screen = true;
  opts[2].rerank_factor = 3;
  opts[3].sq8_score_only = true;
  opts[4].scan_cap = 4;
  opts[4].entry_seeds = 3;
  std::vector<ScoredNode> out;
  auto queries = testing::random_vectors(20, 16, 41);
  std::vector<float> rows;
  for (size_t i = 0; i < kSearchGroup; ++i) rows.insert(rows.end(), queries[i].begin(), queries[i].end());
  std::vector<ScoredNode> outs[kSearchGroup];
  size_t failed = 0;
  g_count_allocs = true;  // the counter itself works
  int* probe = new int[4];
  volatile int* keep = probe;
  keep[0] = 1;
  delete[] probe;
  g_count_allocs = false;
  ASSERT_GE(g_allocs, 1u);
  g_allocs = 0;
  for (int round = 0; round < 2; ++round) {
    if (round == 1) g_count_allocs = true;
    for (auto& q : queries)
      for (auto& o : opts) ASSERT_TRUE(ix->search(q, 10, o, out).ok());
    ix->exact_fallback_enabled = true;
    for (auto& q : queries) ASSERT_TRUE(ix->search(q, 10, {}, out).ok());
    ix->exact_fallback_enabled = false;
    // Grouped searches, interleaved and not.
    for (auto& o : opts) ASSERT_TRUE(ix->search_group(rows, kSearchGroup, 10, o, outs, &failed).ok());
    g_count_allocs = false;
  }
  EXPECT_EQ(g_allocs, 0u);
}

// ---- Concurrency ----------------------------------------------------------------

// A frozen graph reads lists in place; every route must answer exactly as
// it does through the locked copies (ids, raw scores, order).
TEST(SearchTest, FrozenGraphAnswersExactlyAsBefore) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kEuclidean}) {
    auto data = testing::random_vectors(600, 12, 21);
    auto ix = build(testing::knn_graph(metric, data, 10));
    ix->quantize_sq8();
    ix->mark_deleted(3);
    ix->mark_deleted(77);
    std::vector<SearchOptions> opts(6);
    opts[1].sq8_screen = true;
    opts[2].rerank_factor = 2;
    opts[3].triangle_skip = true;
    opts[4].scan_cap = 5;
    opts[5].entry_seeds = 3;
    auto queries = testing::random_vectors(30, 12, 22);
    std::vector<std::vector<ScoredNode>> before;
    for (auto& q : queries)
      for (auto& o : opts) before.push_back(run(*ix, q, 10, o));
    ix->freeze();
    size_t e = 0;
    for (auto& q : queries)
      for (auto& o : opts) {
        std::vector<ScoredNode> after = run(*ix, q, 10, o);
        ASSERT_EQ(after.size(), before[e].size()) << metric_name(metric);
        for (size_t i = 0; i < after.size(); ++i) {
          EXPECT_EQ(after[i].node, before[e][i].node) << metric_name(metric);
          EXPECT_EQ(after[i].raw, before[e][i].raw) << metric_name(metric);
        }
        ++e;
      }
  }
}

TEST(SearchConcurrencyTest, ConcurrentSearchesMatchSequentialOnes) {
  auto data = testing::random_vectors(500, 12, 8);
  auto ix = build(testing::knn_graph(Metric::kCosine, data, 10));
  ix->quantize_sq8();
  auto queries = testing::random_vectors(40, 12, 9);
  std::vector<SearchOptions> opts(3);
  opts[1].sq8_screen = true;
  opts[2].rerank_factor = 2;
  std::vector<std::vector<uint64_t>> expected;
  for (auto& q : queries)
    for (auto& o : opts) expected.push_back(ids_of(run(*ix, q, 10, o)));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      std::vector<ScoredNode> out;
      for (int round = 0; round < 3; ++round) {
        size_t e = 0;
        for (auto& q : queries)
          for (auto& o : opts) {
            if (!ix->search(q, 10, o, out).ok() || ids_of(out) != expected[e]) ++mismatches;
            ++e;
          }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(SearchConcurrencyTest, SearchesRunBesideInsertions) {
  auto data = testing::random_vectors(300, 8, 10);
  auto ix = build(testing::knn_graph(Metric::kEuclidean, data, 8));
  auto extra = testing::random_vectors(300, 8, 11);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t i = 0; i < extra.size(); ++i) (void)ix->insert(1000 + i, extra[i]);
    done = true;
  });
  std::vector<ScoredNode> out;
  size_t searches = 0;
  while (!done || searches < 50) {
    ASSERT_TRUE(ix->search(data[searches % 300], 10, {}, out).ok());
    std::set<uint64_t> ids;
    for (const ScoredNode& n : out) EXPECT_TRUE(ids.insert(n.node).second);
    ++searches;
  }
  writer.join();
}

}  // namespace
}  // namespace ulmora::hnsw
