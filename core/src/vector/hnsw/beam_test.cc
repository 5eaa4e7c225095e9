#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "vector/hnsw/beam.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"
#include "vector/kernels/kernels.h"

namespace ulmora::hnsw {
namespace {

using namespace testing;  // NOLINT: the shared test graphs and helpers

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
  on.triangle_skip = true;
  EXPECT_EQ(beam_ids(*ix, on, false), (std::vector<uint64_t>{0}));
  EXPECT_EQ(beam_ids(*ix, on, true), (std::vector<uint64_t>{1}));  // statistics select the general scan
  SearchOptions off;
  off.triangle_skip = false;
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
