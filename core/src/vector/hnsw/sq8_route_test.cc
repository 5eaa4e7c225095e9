#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "vector/hnsw/beam.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/kernels.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"

namespace ulmora::hnsw {
namespace {

using namespace testing;  // NOLINT: the shared test graphs and helpers

// ---- SQ8 route --------------------------------------------------------------


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

}  // namespace
}  // namespace ulmora::hnsw
