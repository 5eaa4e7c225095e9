#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <set>
#include <thread>

#include "vector/hnsw/graph.h"
#include "vector/hnsw/kernels.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"

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

using testing::build;
using testing::Req;
using testing::TestGraph;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint64_t> ids_of(const std::vector<ScoredNode>& list) {
  std::vector<uint64_t> ids;
  for (const ScoredNode& n : list) ids.push_back(n.node);
  return ids;
}

std::vector<ScoredNode> run(const Graph& ix, std::vector<float> q, size_t k, const SearchOptions& o = {}) {
  std::vector<ScoredNode> out;
  Status st = ix.search(q, k, o, out);
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().message());
  return out;
}

// Ascending key, ties by point id, no repeated ids.
void expect_well_ordered(const std::vector<ScoredNode>& out) {
  std::set<uint64_t> seen;
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_TRUE(seen.insert(out[i].node).second) << "repeated id " << out[i].node;
    EXPECT_FALSE(std::isnan(out[i].key));
    if (i == 0) continue;
    EXPECT_LE(out[i - 1].key, out[i].key);
    if (out[i - 1].key == out[i].key) {
      EXPECT_LT(out[i - 1].node, out[i].node);
    }
  }
}

// Points on a line at x = id; level-0 lists link each to its neighbours.
TestGraph chain(size_t n, Metric metric = Metric::kEuclidean) {
  TestGraph g;
  g.metric = metric;
  g.dim = 1;
  for (uint64_t i = 0; i < n; ++i) {
    g.add(i, {static_cast<float>(i + (metric == Metric::kDot ? 1 : 0))});
    std::vector<uint64_t> list{i};
    if (i > 0) list.push_back(i - 1);
    if (i + 1 < n) list.push_back(i + 1);
    g.link(0, i, list);
  }
  g.entry = 0;
  return g;
}

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

// ---- Beam termination --------------------------------------------------------

// Query at 0, one seed S at 10 whose list offers B1 (9), B2 (8), B3 (7) and
// A (5) in that order. With ef = 1 each is accepted in turn, leaving B1..B3
// as frontier entries worse than the final worst (A).
TestGraph patience_graph() {
  TestGraph g;
  g.dim = 1;
  g.add(10, {10.0f});
  g.add(9, {9.0f});
  g.add(8, {8.0f});
  g.add(7, {7.0f});
  g.add(5, {5.0f});
  g.link(0, 10, {10, 9, 8, 7, 5});
  for (uint64_t id : {9, 8, 7, 5}) g.link(0, id, {id});
  g.entry = 10;
  return g;
}

TEST(SearchTest, EarlyExitPatienceToleratesThatManyStalledSteps) {
  auto ix = build(patience_graph());
  const uint64_t seed = *ix->index_of(10);
  struct Case {
    size_t patience;
    uint64_t expanded;
  } cases[] = {{0, 2}, {1, 3}, {2, 4}, {3, 5}, {50, 5}};
  for (const Case& c : cases) {
    SearchOptions o;
    o.early_exit_patience = c.patience;
    o.expansion_mult = 100;
    SearchCounters counters;
    std::vector<ScoredNode> out;
    ASSERT_TRUE(search_layer(*ix, Req(*ix, std::vector<float>{0.0f}, 1, o, &counters), {&seed, 1}, 0, out).ok());
    EXPECT_EQ(counters.expanded, c.expanded) << "patience " << c.patience;
    EXPECT_EQ(counters.visited, 5u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(ix->point_id(out[0].node), 5u);
  }
}

TEST(SearchTest, ExpansionCapAppliesExceptForDot) {
  struct Case {
    Metric metric;
    std::optional<size_t> mult;
    uint64_t expanded;
  } cases[] = {
      {Metric::kEuclidean, std::nullopt, 20},  // default multiplier 2
      {Metric::kEuclidean, 0, 10},             // 0 counts as 1
      {Metric::kEuclidean, 3, 30},
      {Metric::kCosine, std::nullopt, 20},
      {Metric::kDot, std::nullopt, 100},  // walks the whole chain
  };
  for (const Case& c : cases) {
    TestGraph g = chain(100, c.metric);
    if (c.metric == Metric::kCosine) {
      // Points on a quarter circle; the query sits at the far end.
      for (uint64_t i = 0; i < 100; ++i) {
        double a = 1.5 * static_cast<double>(i) / 99.0;
        g.vectors[i] = {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
      }
      g.dim = 2;
    }
    auto ix = build(g);
    std::vector<float> q = c.metric == Metric::kCosine ? std::vector<float>{std::cos(1.5f), std::sin(1.5f)}
                                                       : std::vector<float>{1000.0f};
    SearchOptions o;
    o.expansion_mult = c.mult;
    SearchCounters counters;
    std::vector<ScoredNode> out;
    uint64_t seed = 0;
    ASSERT_TRUE(search_layer(*ix, Req(*ix, q, 10, o, &counters), {&seed, 1}, 0, out).ok());
    EXPECT_EQ(counters.expanded, c.expanded) << metric_name(c.metric);
  }
}

TEST(SearchTest, ScanPatienceEndsANodesScanExceptForDot) {
  // The seed's list: three far points, then the query's exact match.
  for (Metric metric : {Metric::kEuclidean, Metric::kDot}) {
    TestGraph g;
    g.metric = metric;
    g.dim = 1;
    float sign = metric == Metric::kDot ? -1.0f : 1.0f;
    g.add(0, {sign * 1.0f});
    g.add(1, {sign * 50.0f});
    g.add(2, {sign * 60.0f});
    g.add(3, {sign * 70.0f});
    g.add(4, {sign * -3.0f});
    g.link(0, 0, {0, 1, 2, 3, 4});
    for (uint64_t id = 1; id < 5; ++id) g.link(0, id, {id});
    g.entry = 0;
    auto ix = build(g);
    SearchOptions o;
    o.scan_patience = 2;
    std::vector<ScoredNode> out;
    uint64_t seed = 0;
    std::vector<float> q{metric == Metric::kDot ? 1.0f : -3.0f};
    ASSERT_TRUE(search_layer(*ix, Req(*ix, q, 1, o), {&seed, 1}, 0, out).ok());
    ASSERT_EQ(out.size(), 1u);
    // Euclidean: two rejections end the scan before 4 is scored. Dot has
    // no scan patience, so 4 (dot 3 against the seed's -1) wins.
    EXPECT_EQ(out[0].node, metric == Metric::kDot ? 4u : 0u) << metric_name(metric);
  }
}

// ---- Scan cap ------------------------------------------------------------------

// A hub (id 0) listing itself and 20 leaves, all at distance 1 from the
// query, so every admitted leaf is accepted when ef is large.
TestGraph star(size_t leaves) {
  TestGraph g;
  g.dim = 2;
  g.add(0, {0.0f, 0.0f});
  std::vector<uint64_t> hub{0};
  for (uint64_t i = 1; i <= leaves; ++i) {
    double a = static_cast<double>(i);
    g.add(i, {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))});
    g.link(0, i, {i});
    hub.push_back(i);
  }
  g.link(0, 0, hub);
  g.entry = 0;
  return g;
}

std::set<uint64_t> scanned_leaves(const Graph& ix, std::optional<size_t> cap, uint64_t level, bool counters,
                                  std::vector<float> q = {0.0f, 0.0f}) {
  SearchOptions o;
  o.scan_cap = cap;
  SearchCounters c;
  std::vector<ScoredNode> out;
  uint64_t seed = 0;
  EXPECT_TRUE(search_layer(ix, Req(ix, q, 100, o, counters ? &c : nullptr), {&seed, 1}, level, out).ok());
  std::set<uint64_t> leaves;
  for (const ScoredNode& n : out)
    if (n.node != 0) leaves.insert(n.node);
  if (counters) {
    EXPECT_EQ(c.visited, leaves.size() + 1);
  }
  return leaves;
}

TEST(SearchTest, ScanCapReadsExactlyCapPositionsAtLevelZeroOnly) {
  auto ix = build(star(20));
  EXPECT_EQ(scanned_leaves(*ix, 5, 0, true), (std::set<uint64_t>{1, 2, 3, 4}));  // self is position 0
  EXPECT_EQ(scanned_leaves(*ix, 0, 0, true).size(), 20u);                        // 0 = uncapped
  EXPECT_EQ(scanned_leaves(*ix, std::nullopt, 0, false).size(), 20u);
  EXPECT_EQ(scanned_leaves(*ix, 21, 0, true).size(), 20u);
  // Above level 0 no cap applies.
  TestGraph g = star(20);
  g.layers[1] = g.layers[0];
  for (uint64_t i = 0; i <= 20; ++i) g.levels[i] = 1;
  g.max_level = 1;
  auto upper = build(g);
  EXPECT_EQ(scanned_leaves(*upper, 5, 1, true).size(), 20u);
}

// ---- Screening in the level-0 beam -----------------------------------------------

// Cosine pair: the seed at (1, 0), the query's exact match at (0, 1).
std::unique_ptr<Graph> screening_pair() {
  TestGraph g;
  g.metric = Metric::kCosine;
  g.add(0, {1.0f, 0.0f});
  g.add(1, {0.0f, 1.0f});
  g.link(0, 0, {0, 1});
  g.link(0, 1, {1, 0});
  g.entry = 0;
  return build(g);
}

std::vector<uint64_t> beam_ids(const Graph& ix, const SearchOptions& o, bool counters) {
  std::vector<ScoredNode> out;
  SearchCounters c;
  uint64_t seed = 0;
  EXPECT_TRUE(search_layer(ix, Req(ix, std::vector<float>{0.0f, 1.0f}, 1, o, counters ? &c : nullptr), {&seed, 1}, 0, out)
                  .ok());
  return ids_of(out);
}

TEST(ScreeningTest, TriangleSkipUsesTheStoredScoreOnlyInThePlainScan) {
  auto ix = screening_pair();
  // A stored score claiming node 1 is far beyond the worst result.
  std::vector<float> fake{0.0f, -5.0f};
  ix->neighbor_scores.assign(0, fake);
  SearchOptions on;
  on.ti_skip = true;
  EXPECT_EQ(beam_ids(*ix, on, false), (std::vector<uint64_t>{0}));
  EXPECT_EQ(beam_ids(*ix, on, true), (std::vector<uint64_t>{1}));  // statistics select the general scan
  SearchOptions off;
  off.ti_skip = false;
  EXPECT_EQ(beam_ids(*ix, off, false), (std::vector<uint64_t>{1}));
}

TEST(ScreeningTest, Sq8ScreeningDropsEntriesWhoseCodeScoreIsBelowTheBound) {
  auto ix = screening_pair();
  ix->quantize_sq8();
  // Node 1's code row now describes (0, -1): its code score looks hopeless.
  ix->sq8_codes[2] = 128;
  ix->sq8_codes[3] = 1;
  SearchOptions on;
  on.sq8_screen = true;
  EXPECT_EQ(beam_ids(*ix, on, false), (std::vector<uint64_t>{0}));
  EXPECT_EQ(beam_ids(*ix, on, true), (std::vector<uint64_t>{1}));
  SearchOptions wide = on;  // results not yet full: no screening
  std::vector<ScoredNode> out;
  uint64_t seed = 0;
  ASSERT_TRUE(search_layer(*ix, Req(*ix, std::vector<float>{0.0f, 1.0f}, 2, wide), {&seed, 1}, 0, out)
                  .ok());
  EXPECT_EQ(ids_of(out), (std::vector<uint64_t>{1, 0}));
  on.sq8_screen = false;
  EXPECT_EQ(beam_ids(*ix, on, false), (std::vector<uint64_t>{1}));
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

// ---- SQ8 route --------------------------------------------------------------

std::unique_ptr<Graph> quantized(Metric metric, size_t n = 400, size_t dim = 16) {
  auto data = testing::random_vectors(n, dim, 31);
  auto ix = build(testing::knn_graph(metric, data, 12));
  ix->quantize_sq8();
  return ix;
}

TEST(Sq8RouteTest, ScoreOnlyReturnsTheCodeScore) {
  auto ix = quantized(Metric::kCosine);
  std::vector<float> q = testing::random_vectors(1, 16, 77)[0];
  SearchOptions o;
  o.sq8_score_only = true;
  auto out = run(*ix, q, 10, o);
  ASSERT_EQ(out.size(), 10u);
  std::vector<float> pq = testing::normalized(q);
  std::vector<int16_t> x(16);
  for (size_t d = 0; d < 16; ++d) x[d] = static_cast<int16_t>(std::round(std::clamp(pq[d] * 127.5f, -128.0f, 127.0f)));
  for (const ScoredNode& n : out) {
    uint64_t i = *ix->index_of(n.node);
    int32_t s = kernels::reference_sq8_centered_i16(ix->sq8_codes.data() + i * 16, x.data(), 16);
    EXPECT_EQ(n.raw, 1.0f - std::clamp(static_cast<float>(s) / 16256.25f, -1.0f, 1.0f));
    EXPECT_EQ(n.key, n.raw);
  }
  expect_well_ordered(out);
}

TEST(Sq8RouteTest, RouteChoicePerMetric) {
  std::vector<float> q = testing::random_vectors(1, 16, 78)[0];
  struct Case {
    Metric metric;
    std::optional<bool> score_only;
    std::optional<size_t> rerank;
    bool expect_route;
  } cases[] = {
      {Metric::kCosine, std::nullopt, std::nullopt, false}, {Metric::kCosine, false, 0, false},
      {Metric::kCosine, true, std::nullopt, true},          {Metric::kCosine, std::nullopt, 3, true},
      {Metric::kEuclidean, true, std::nullopt, false},      {Metric::kEuclidean, true, 3, true},
      {Metric::kDot, true, 3, false},                       {Metric::kDot, std::nullopt, 3, false},
  };
  for (const Case& c : cases) {
    auto ix = quantized(c.metric);
    SearchOptions plain_opts;
    auto plain = run(*ix, q, 10, plain_opts);
    SearchOptions o;
    o.sq8_score_only = c.score_only;
    o.rerank_factor = c.rerank;
    SearchCounters counters;
    std::vector<ScoredNode> level0;
    uint64_t seed = 0;
    std::vector<float> pq = c.metric == Metric::kCosine ? testing::normalized(q) : q;
    ASSERT_TRUE(search_level0(*ix, Req(*ix, pq, 10, o, &counters), {&seed, 1}, level0)
                    .ok());
    EXPECT_LE(level0.size(), 10u);
    auto routed = run(*ix, q, 10, o);
    if (!c.expect_route) {
      EXPECT_EQ(ids_of(routed), ids_of(plain)) << metric_name(c.metric);
      continue;
    }
    // The route returns full-precision scores after a rerank.
    if (!c.score_only.value_or(false) || c.metric != Metric::kCosine) {
      for (const ScoredNode& n : routed) {
        const float* v = ix->vector_of(n.node);
        ASSERT_NE(v, nullptr);
        EXPECT_NEAR(n.raw, testing::reference_score(c.metric, pq, {v, 16}).first, 1e-4);
      }
    }
    expect_well_ordered(routed);
  }
}

TEST(Sq8RouteTest, RerankCollectsEfTimesFactorCandidates) {
  auto ix = quantized(Metric::kEuclidean);
  std::vector<float> q = testing::random_vectors(1, 16, 79)[0];
  SearchOptions o;
  o.rerank_factor = 3;
  std::vector<ScoredNode> out;
  uint64_t seed = 0;
  ASSERT_TRUE(search_level0(*ix, Req(*ix, q, 10, o), {&seed, 1}, out).ok());
  EXPECT_EQ(out.size(), 10u);
  for (size_t i = 1; i < out.size(); ++i) EXPECT_LE(out[i - 1].key, out[i].key);
  // Recall of the route against brute force stays high.
  SearchOptions wide;
  wide.rerank_factor = 4;
  wide.ef = 64;
  std::vector<std::vector<float>> data(400);
  for (uint64_t i = 0; i < 400; ++i) data[i].assign(ix->vector(i), ix->vector(i) + 16);
  auto truth = testing::brute_force(Metric::kEuclidean, data, q, 10);
  auto got = ids_of(run(*ix, q, 10, wide));
  size_t hits = 0;
  for (uint64_t id : got) hits += std::count(truth.begin(), truth.end(), id);
  EXPECT_GE(hits, 8u);
}

// The Euclidean code score is the negated squared distance between codes:
// a plain code dot product would walk towards long vectors, not near ones.
TEST(Sq8RouteTest, EuclideanCodeBeamWalksTowardsNearNeighbours) {
  auto ix = quantized(Metric::kEuclidean);
  std::vector<std::vector<float>> data(400);
  for (uint64_t i = 0; i < 400; ++i) data[i].assign(ix->vector(i), ix->vector(i) + 16);
  SearchOptions o;
  o.rerank_factor = 2;
  o.ef = 16;
  size_t hits = 0;
  const auto queries = testing::random_vectors(20, 16, 91);
  for (const auto& q : queries) {
    auto truth = testing::brute_force(Metric::kEuclidean, data, q, 10);
    for (uint64_t id : ids_of(run(*ix, q, 10, o))) hits += std::count(truth.begin(), truth.end(), id);
  }
  EXPECT_GE(hits, 160u);  // recall@10 >= 0.8 over 20 queries
}

TEST(Sq8RouteTest, NodesWithoutCodeRowsAreSkippedByTheRouteAndNotScreened) {
  auto ix = quantized(Metric::kCosine, 300, 16);
  // The last 50 nodes lose their code rows, as if appended after quantising.
  ix->sq8_codes.resize(250 * 16);
  ix->sq8_codes.shrink_to_fit();
  std::vector<float> q(ix->vector(280), ix->vector(280) + 16);
  SearchOptions o;
  o.rerank_factor = 2;
  o.ef = 64;
  for (const ScoredNode& n : run(*ix, q, 20, o)) EXPECT_LT(*ix->index_of(n.node), 250u);
  SearchOptions screen;
  screen.sq8_screen = true;
  screen.ef = 64;
  auto out = run(*ix, q, 1, screen);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].node, 280u);
}

TEST(Sq8RouteTest, ScreeningKeepsRecall) {
  auto ix = quantized(Metric::kCosine, 1000, 16);
  auto queries = testing::random_vectors(20, 16, 80);
  SearchOptions on;
  on.sq8_screen = true;
  on.ef = 64;
  SearchOptions off = on;
  off.sq8_screen = false;
  size_t same = 0;
  for (auto& q : queries) {
    auto a = ids_of(run(*ix, q, 10, on));
    auto b = ids_of(run(*ix, q, 10, off));
    for (uint64_t id : a) same += std::count(b.begin(), b.end(), id);
  }
  EXPECT_GE(same, 180u);
}

TEST(Sq8RouteTest, NanVectorsAndQueriesStayDefined) {
  auto data = testing::random_vectors(200, 8, 12);
  for (size_t i = 0; i < 200; i += 7) data[i][2] = kNaN;
  for (Metric metric : {Metric::kCosine, Metric::kEuclidean}) {
    auto ix = build(testing::knn_graph(metric, data, 8));
    ix->quantize_sq8();
    SearchOptions o;
    o.rerank_factor = 2;
    auto out = run(*ix, data[3], 10, o);
    std::set<uint64_t> ids;
    for (const ScoredNode& n : out) EXPECT_TRUE(ids.insert(n.node).second);
    std::vector<float> nan_query(8, kNaN);
    auto weird = run(*ix, nan_query, 5, o);
    std::set<uint64_t> wids;
    for (const ScoredNode& n : weird) EXPECT_TRUE(wids.insert(n.node).second);
  }
}

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
    g_count_allocs = false;
  }
  EXPECT_EQ(g_allocs, 0u);
}

// ---- Heap and hash building blocks --------------------------------------------

TEST(KeyHeapTest, EqualKeysKeepTheEarlierElementOnTop) {
  KeyHeap<true> mins;
  KeyHeap<false> maxes;
  for (uint64_t i = 0; i < 6; ++i) {
    mins.push({i, 0, 1.0f});
    maxes.push({i, 0, 1.0f});
  }
  EXPECT_EQ(mins.top().node, 0u);
  EXPECT_EQ(maxes.top().node, 0u);
  mins.push({9, 0, 0.5f});
  maxes.push({9, 0, 2.0f});
  EXPECT_EQ(mins.top().node, 9u);
  EXPECT_EQ(maxes.top().node, 9u);
}

TEST(KeyHeapTest, PopsInKeyOrderAndSortsAscending) {
  KeyHeap<true> mins;
  KeyHeap<false> maxes;
  std::mt19937 rng(4);
  std::vector<float> keys;
  for (uint64_t i = 0; i < 200; ++i) {
    float k = static_cast<float>(rng() % 50);
    keys.push_back(k);
    mins.push({i, 0, k});
    maxes.push({i, 0, k});
  }
  std::sort(keys.begin(), keys.end());
  for (float k : keys) EXPECT_EQ(mins.pop().key, k);
  EXPECT_TRUE(mins.empty());
  maxes.sort_ascending();
  ASSERT_EQ(maxes.data().size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(maxes.data()[i].key, keys[i]);
}

TEST(QueryHashTest, MatchesSipHash13WithZeroKey) {
  // Reference values: SipHash-1-3, key 0, over the same byte strings.
  EXPECT_EQ(query_hash({}), 0xbd60acb658c79e45ull);
  EXPECT_EQ(query_hash(std::vector<float>{1.0f}), 0x5565f3056e6caff5ull);
  EXPECT_EQ(query_hash(std::vector<float>{0.5f, -2.0f, 3.25f}), 0xd14b357502f01edfull);
}

TEST(ScreenThresholdTest, SaturatesAndMapsNanToZero) {
  EXPECT_EQ(screen_threshold(0.0f), static_cast<int32_t>(127.5f * 127.5f * 0.85f));
  EXPECT_EQ(screen_threshold(1.0f), 0);
  EXPECT_EQ(screen_threshold(-1e30f), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(screen_threshold(1e30f), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(screen_threshold(kNaN), 0);
}

// ---- Concurrency ----------------------------------------------------------------

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

// ---- Process-wide switches (each checked in a fresh process) -------------------

// Early exit off: the float beam runs on whatever the patience; the SQ8
// route keeps its early exit.
TEST(SearchEnvTest, DISABLED_ChildDisableEarlyExit) {
  auto ix = quantized(Metric::kCosine, 800, 16);
  std::vector<float> q = testing::normalized(testing::random_vectors(1, 16, 90)[0]);
  uint64_t seed = 0;
  auto expanded = [&](size_t patience, bool route) {
    SearchOptions o;
    o.early_exit_patience = patience;
    o.expansion_mult = 1000;
    if (route) o.rerank_factor = 1;
    SearchCounters c;
    std::vector<ScoredNode> out;
    EXPECT_TRUE(search_level0(*ix, Req(*ix, q, 8, o, &c), {&seed, 1}, out).ok());
    return c.expanded;
  };
  EXPECT_EQ(expanded(0, false), expanded(1000, false));
  EXPECT_LT(expanded(0, true), expanded(1000, true));
}

TEST(SearchEnvTest, DisableEarlyExitLeavesTheSq8RouteAlone) {
  EXPECT_EQ(testing::run_child("SearchEnvTest.DISABLED_ChildDisableEarlyExit", {"VECTORDB_DISABLE_EARLY_EXIT=1"}), 0);
}

TEST(SearchEnvTest, DISABLED_ChildRotation) {
  auto ix = build(star(20));
  std::vector<float> q{0.0f, 0.0f};
  uint64_t hub = 0;
  uint64_t h = (query_hash(q) + hub) * 0x9E3779B97F4A7C15ull;
  size_t start = h % 21;
  std::set<uint64_t> expect;
  for (size_t i = 0; i < 6; ++i)
    if (size_t pos = (start + i) % 21; pos != 0) expect.insert(pos);  // list position p holds leaf p
  EXPECT_EQ(scanned_leaves(*ix, 6, 0, true, q), expect);
  EXPECT_EQ(scanned_leaves(*ix, std::nullopt, 0, false, q).size(), 20u);
}

TEST(SearchEnvTest, RotationStartsTheCappedWindowAtTheHash) {
  EXPECT_EQ(testing::run_child("SearchEnvTest.DISABLED_ChildRotation", {"VECTORDB_NEIGHBOR_SCAN_ROTATE=1"}), 0);
}

TEST(SearchEnvTest, DISABLED_ChildStride) {
  for (size_t leaves : {20, 23, 29}) {
    auto ix = build(star(leaves));
    for (size_t cap : {3, 7, 12}) {
      std::set<uint64_t> seen = scanned_leaves(*ix, cap, 0, true);
      // cap distinct positions; the hub's own entry may be one of them.
      EXPECT_GE(seen.size() + 1, cap);
      EXPECT_LE(seen.size(), cap);
    }
  }
}

TEST(SearchEnvTest, StrideNeverRepeatsAPosition) {
  EXPECT_EQ(testing::run_child("SearchEnvTest.DISABLED_ChildStride",
                               {"VECTORDB_NEIGHBOR_SCAN_STRIDE=1", "VECTORDB_NEIGHBOR_SCAN_ROTATE=1"}),
            0);
}

}  // namespace
}  // namespace ulmora::hnsw
