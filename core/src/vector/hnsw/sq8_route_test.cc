#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "vector/hnsw/beam.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"
#include "vector/kernels/kernels.h"
#include "vector/kernels/rounding.h"

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

// Live inserts: new nodes get codes on the scales chosen at quantize time,
// values outside them clamp, and the rows already coded stay as they were.
TEST(Sq8RouteTest, ExtendCodesNewNodesOnTheStoredScales) {
  for (Metric metric : {Metric::kCosine, Metric::kEuclidean}) {
    auto ix = quantized(metric);
    const uint64_t before = ix->len();
    const std::vector<float> mins = ix->sq8_mins, scales = ix->sq8_scales;
    const std::vector<uint8_t> old_codes(ix->sq8_codes.begin(), ix->sq8_codes.end());
    auto fresh = testing::random_vectors(9, 16, 91);
    for (float& x : fresh[8]) x *= 1000.0f;  // far outside every Euclidean scale
    for (uint64_t i = 0; i < fresh.size(); ++i) ASSERT_TRUE(ix->insert(5000 + i, fresh[i]).ok());
    ix->extend_sq8();
    ASSERT_EQ(ix->sq8_codes.size(), ix->len() * 16);
    EXPECT_EQ(ix->sq8_mins, mins);
    EXPECT_EQ(ix->sq8_scales, scales);
    EXPECT_TRUE(std::equal(old_codes.begin(), old_codes.end(), ix->sq8_codes.begin()));
    std::vector<uint8_t> want(16);
    for (uint64_t i = before; i < ix->len(); ++i) {
      if (metric == Metric::kCosine) {
        kernels::cosine_codes(ix->vector(i), 16, want.data());
      } else {
        kernels::scaled_codes(ix->vector(i), mins.data(), scales.data(), 16, want.data());
      }
      EXPECT_TRUE(std::equal(want.begin(), want.end(), ix->sq8_codes.begin() + i * 16)) << i;
    }
    if (metric == Metric::kEuclidean) {
      const uint8_t* far = ix->sq8_codes.data() + (ix->len() - 1) * 16;
      for (size_t d = 0; d < 16; ++d) EXPECT_TRUE(far[d] == 0 || far[d] == 255) << d;
    }
  }
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

// The query code's rounding equals round(clamp(...)) around every half
// step of both code ranges, at the clamp bounds and far outside them.
TEST(Sq8RouteTest, QueryCodeRoundingMatchesTheLibrary) {
  auto want = [](float v, float lo, float hi) {
    return std::isnan(v) ? int16_t{0} : static_cast<int16_t>(std::round(std::clamp(v, lo, hi)));
  };
  std::vector<float> values = {0.0f, -0.0f, kNaN, INFINITY, -INFINITY, 1e30f, -1e30f, 0.49999997f, -0.49999997f};
  for (int k = -260; k <= 260; ++k) {
    float v = k + 0.5f;
    for (int step = 0; step < 64; ++step, v = std::nextafter(v, -INFINITY)) values.push_back(v);
    v = k + 0.5f;
    for (int step = 0; step < 64; ++step, v = std::nextafter(v, INFINITY)) values.push_back(v);
  }
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> wide(-400.0f, 400.0f);
  for (int i = 0; i < 200000; ++i) values.push_back(wide(rng));
  for (float v : values) {
    ASSERT_EQ(kernels::round_code(v, -128.0f, 127.0f), want(v, -128.0f, 127.0f)) << v;
    ASSERT_EQ(kernels::round_code(v, 0.0f, 255.0f), want(v, 0.0f, 255.0f)) << v;
  }
}

// ---- The route against its plainest form ------------------------------------

// Query code of the route, element by element.
std::vector<int16_t> reference_query_code(const Graph& g, std::span<const float> q) {
  std::vector<int16_t> x(q.size());
  for (size_t d = 0; d < q.size(); ++d) {
    float v = g.metric == Metric::kCosine ? std::clamp(q[d] * 127.5f, -128.0f, 127.0f)
                                          : std::clamp((q[d] - g.sq8_mins[d]) / g.sq8_scales[d], 0.0f, 255.0f);
    x[d] = static_cast<int16_t>(std::round(v));
  }
  return x;
}

// The code-space beam one node at a time with the scalar reference kernels:
// same admission, acceptance and stall rules, no batches and no prefetch.
std::vector<ScoredNode> reference_code_beam(const Graph& g, std::span<const int16_t> x,
                                            std::span<const uint64_t> seeds, size_t width, size_t patience) {
  const uint64_t n = g.published_len(), rows = g.sq8_codes.size() / g.dim;
  std::vector<bool> visited(n);
  KeyHeap<true> candidates;
  KeyHeap<false> results;
  auto admissible = [&](uint64_t i) { return i < n && i < rows && !visited[i] && g.state(i) == NodeState::kLinked; };
  auto score = [&](uint64_t i) {
    const uint8_t* row = g.sq8_codes.data() + i * g.dim;
    int32_t s = g.metric == Metric::kCosine ? kernels::reference_sq8_centered_i16(row, x.data(), g.dim)
                                            : kernels::reference_sq8_neg_l2_i16(row, x.data(), g.dim);
    return ScoredNode{i, std::bit_cast<float>(s), -static_cast<float>(s)};
  };
  for (uint64_t seed : seeds) {
    if (!admissible(seed)) continue;
    visited[seed] = true;
    candidates.push(score(seed));
    results.push(score(seed));
  }
  if (results.empty()) return {};
  float worst = results.top().key;
  for (size_t stall = 0; !candidates.empty();) {
    if (results.size() >= width) {
      ++stall;
      if (candidates.top().key <= worst) stall = 0;
      if (stall > patience) break;
    }
    for (uint32_t e : g.layer(0).copy(candidates.pop().node)) {
      if (!admissible(e)) continue;
      visited[e] = true;
      ScoredNode node = score(e);
      if (!(results.size() < width || node.key < worst)) continue;
      candidates.push(node);
      results.push(node);
      if (results.size() > width) results.pop();
      worst = results.top().key;
    }
  }
  results.sort_ascending();
  return results.data();
}

// The route's finish on the reference candidates: score-only or rerank
// (full vectors through the index's own scorer, sixteen at a time), then a
// stable sort by key cut to ef.
std::vector<ScoredNode> reference_route(const Graph& g, std::span<const float> q, std::span<const uint64_t> seeds,
                                        size_t ef, size_t factor, bool score_only, size_t patience) {
  std::vector<int16_t> x = reference_query_code(g, q);
  std::vector<ScoredNode> list = reference_code_beam(g, x, seeds, score_only ? ef : ef * factor, patience);
  const Scorer scorer(MetricTraits::of(g.metric), q.data(), g.dim);
  for (size_t begin = 0; begin < list.size(); begin += kBatch) {
    const size_t count = std::min(kBatch, list.size() - begin);
    const float* ptrs[kBatch];
    float raws[kBatch];
    for (size_t j = 0; j < count; ++j) ptrs[j] = g.vector(list[begin + j].node);
    if (!score_only) scorer.raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) {
      ScoredNode& node = list[begin + j];
      node.raw = score_only ? sq8_cosine_raw(std::bit_cast<int32_t>(node.raw)) : raws[j];
      node.key = score_only ? node.raw : scorer.key(node.raw);
    }
  }
  std::stable_sort(list.begin(), list.end(), [](const ScoredNode& a, const ScoredNode& b) { return a.key < b.key; });
  if (list.size() > ef) list.resize(ef);
  return list;
}

struct RouteCase {
  Metric metric;
  size_t dim;
  size_t factor;
  bool score_only;
  size_t patience;
};

class Sq8RouteExactness : public ::testing::TestWithParam<RouteCase> {};

// Every result of the route (node, raw and key bits, order) equals the
// plain form's, over many queries and seed lists, at tail-heavy and
// whole-block dimensions.
TEST_P(Sq8RouteExactness, MatchesThePlainForm) {
  const RouteCase c = GetParam();
  auto data = testing::random_vectors(700, c.dim, 41);
  for (size_t i = 0; i < data.size(); i += 3)  // clustered pairs make near ties
    data[i + 1 < data.size() ? i + 1 : i] = data[i];
  auto ix = build(testing::knn_graph(c.metric, data, 24));  // lists longer than a batch
  ASSERT_NE(ix, nullptr);
  ix->quantize_sq8();
  SearchOptions o;
  o.rerank_factor = c.factor;
  o.sq8_score_only = c.score_only;
  o.early_exit_patience = c.patience;
  auto queries = testing::random_vectors(30, c.dim, 42);
  for (size_t qi = 0; qi < queries.size(); ++qi) {
    std::vector<float> pq;
    prepare(c.metric, queries[qi], pq);
    const std::vector<uint64_t> seeds = qi % 2 ? std::vector<uint64_t>{qi * 7 % 700} : std::vector<uint64_t>{3, 500, 3};
    for (size_t ef : {10u, 33u}) {
      std::vector<ScoredNode> got;
      ASSERT_TRUE(search_level0(*ix, Req(*ix, pq, ef, o), seeds, got).ok());
      auto want = reference_route(*ix, pq, seeds, ef, c.factor, c.score_only, c.patience);
      ASSERT_EQ(got.size(), want.size()) << "query " << qi << " ef " << ef;
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].node, want[i].node) << "query " << qi << " ef " << ef << " rank " << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].raw), std::bit_cast<uint32_t>(want[i].raw)) << qi << "/" << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].key), std::bit_cast<uint32_t>(want[i].key)) << qi << "/" << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, Sq8RouteExactness,
                         ::testing::Values(RouteCase{Metric::kCosine, 128, 1, false, 3},
                                           RouteCase{Metric::kCosine, 37, 3, false, 0},
                                           RouteCase{Metric::kCosine, 128, 0, true, 3},
                                           RouteCase{Metric::kCosine, 200, 0, true, 1},
                                           RouteCase{Metric::kEuclidean, 128, 2, false, 3},
                                           RouteCase{Metric::kEuclidean, 45, 4, false, 0}),
                         [](const auto& info) {
                           const RouteCase& c = info.param;
                           return std::string(metric_name(c.metric)) + "_d" + std::to_string(c.dim) +
                                  (c.score_only ? "_score_only" : "_rerank" + std::to_string(c.factor)) + "_p" +
                                  std::to_string(c.patience);
                         });

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
