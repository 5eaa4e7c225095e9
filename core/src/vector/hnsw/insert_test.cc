#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "vector/hnsw/filter_edges.h"
#include "vector/hnsw/neighbor_select.h"
#include "vector/hnsw/insert_test_helpers.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/test_graphs.h"

namespace ulmora::hnsw {
namespace {

using testing::expect_graph_invariants;
using testing::in_child;
using testing::random_vector;
using testing::run_in_child;

std::unique_ptr<Graph> make_graph(Metric metric, uint64_t m, uint64_t ef, uint64_t level_cap, uint64_t dim) {
  return std::make_unique<Graph>(metric, m, ef, level_cap, dim);
}

void insert_random(Graph& g, size_t n, uint32_t seed, uint64_t first_id = 0) {
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(g.insert(first_id + i, random_vector(rng, g.dim)).ok());
}

// ---- Basic insertion behaviour ----------------------------------------

TEST(Insert, FirstInsertBecomesEntryWithOnlyItself) {
  auto g = make_graph(Metric::kEuclidean, 4, 32, 8, 3);
  ASSERT_TRUE(g->insert(42, std::vector<float>{1, 2, 3}).ok());
  const uint64_t word = g->entry.load();
  ASSERT_EQ(entry_index(word), 0u);
  const uint64_t level = g->levels.get(0);
  EXPECT_EQ(entry_level(word), level);
  for (uint64_t l = 0; l <= level; ++l) EXPECT_EQ(g->layer(l).copy(0), std::vector<uint32_t>{0});
  EXPECT_EQ(g->state(0), NodeState::kLinked);
  EXPECT_EQ(g->point_id(0), 42u);
  EXPECT_EQ(g->published_len(), 1u);
}

TEST(Insert, LengthMismatchIsRejectedAndNothingIsStored) {
  auto g = make_graph(Metric::kCosine, 4, 32, 8, 4);
  Status s = g->insert(1, std::vector<float>{1, 2, 3});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::kVectorLengthMismatch);
  EXPECT_EQ(s.error().message(), "Vector length mismatch: expected 4, got 3");
  EXPECT_EQ(g->len(), 0u);
  EXPECT_EQ(entry_index(g->entry.load()), kNoEntry);
}

TEST(Insert, ExistingPointIdChangesNothing) {
  auto g = make_graph(Metric::kEuclidean, 4, 32, 8, 4);
  insert_random(*g, 50, 1);
  std::vector<std::vector<uint32_t>> before;
  for (uint64_t i = 0; i < g->len(); ++i) before.push_back(g->layer(0).copy(i));
  std::vector<float> old(g->vector(7), g->vector(7) + 4);
  ASSERT_TRUE(g->insert(7, std::vector<float>{9, 9, 9, 9}).ok());
  g->mark_deleted(8);
  ASSERT_TRUE(g->insert(8, std::vector<float>{9, 9, 9, 9}).ok());  // deleted ids stay taken
  EXPECT_EQ(g->len(), 50u);
  EXPECT_EQ(std::vector<float>(g->vector(7), g->vector(7) + 4), old);
  for (uint64_t i = 0; i < g->len(); ++i) EXPECT_EQ(g->layer(0).copy(i), before[i]);
}

TEST(Insert, CosineStoresUnitVectors) {
  auto g = make_graph(Metric::kCosine, 4, 32, 8, 2);
  ASSERT_TRUE(g->insert(1, std::vector<float>{3, 4}).ok());
  EXPECT_FLOAT_EQ(g->vector(0)[0], 0.6f);
  EXPECT_FLOAT_EQ(g->vector(0)[1], 0.8f);
}

// ---- Structure after many inserts ---------------------------------------

struct StructureCase {
  Metric metric;
  uint64_t m;
  size_t n;
};

class InsertStructure : public ::testing::TestWithParam<StructureCase> {};

TEST_P(InsertStructure, InvariantsHoldWithCapsEnforced) {
  const StructureCase c = GetParam();
  auto g = make_graph(c.metric, c.m, 40, 16, 8);
  insert_random(*g, c.n, 7);
  EXPECT_EQ(g->len(), c.n);
  expect_graph_invariants(*g, /*caps_enforced=*/true);
  // Level-0 lists are full once the graph is large enough.
  size_t full = 0;
  for (uint64_t i = 0; i < g->len(); ++i) full += g->layer(0).size(i) == g->m0_cap + 1;
  EXPECT_GT(full, c.n / 2);
}

INSTANTIATE_TEST_SUITE_P(Metrics, InsertStructure,
                         ::testing::Values(StructureCase{Metric::kEuclidean, 2, 400},
                                           StructureCase{Metric::kCosine, 2, 400},
                                           StructureCase{Metric::kDot, 2, 400},
                                           StructureCase{Metric::kEuclidean, 8, 600},
                                           StructureCase{Metric::kCosine, 6, 600}));

TEST(Insert, CapsOffLetsListsGrow) {
  if (in_child()) {
    auto g = make_graph(Metric::kEuclidean, 2, 40, 16, 8);
    insert_random(*g, 400, 3);
    expect_graph_invariants(*g, /*caps_enforced=*/false);
    size_t longest = 0;
    for (uint64_t i = 0; i < g->len(); ++i) longest = std::max(longest, g->layer(0).size(i));
    EXPECT_GT(longest, 2 * (g->m0_cap + 1));
    return;
  }
  EXPECT_EQ(run_in_child("Insert.CapsOffLetsListsGrow", {{"VECTORDB_ENFORCE_NEIGHBOR_CAPS", "false"}}), 0);
}

TEST(Insert, LevelsFollowTheScaleAndCap) {
  auto flat = make_graph(Metric::kEuclidean, 4, 16, 0, 4);
  insert_random(*flat, 200, 5);
  for (uint64_t i = 0; i < flat->len(); ++i) EXPECT_EQ(flat->levels.get(i), 0u);
  EXPECT_EQ(entry_level(flat->entry.load()), 0u);

  // P(level >= 1) = 1/m with the default scale 1/ln(m).
  auto g = make_graph(Metric::kEuclidean, 4, 8, 16, 2);
  insert_random(*g, 4000, 6);
  size_t upper = 0;
  for (uint64_t i = 0; i < g->len(); ++i) upper += g->levels.get(i) >= 1;
  EXPECT_NEAR(static_cast<double>(upper) / 4000.0, 0.25, 0.04);
}

// A seeded index draws each point's level from (seed, point id) alone:
// the same levels in any insertion order, with the same distribution.
TEST(Insert, SeededLevelsDependOnSeedAndPointIdOnly) {
  auto levels_by_id = [](uint64_t seed, bool reverse) {
    HnswIndex owner(Metric::kEuclidean, 4, 8, 16, 2);
    owner.seed_levels(seed);
    std::mt19937 rng(9);
    for (uint64_t k = 0; k < 4000; ++k)
      EXPECT_TRUE(owner.insert(reverse ? 3999 - k : k, random_vector(rng, 2)).ok());
    std::vector<uint8_t> out(4000);
    const Graph& g = graph_of(owner);
    for (uint64_t i = 0; i < g.len(); ++i) out[g.point_id(i)] = g.levels.get(i);
    return out;
  };
  const std::vector<uint8_t> forward = levels_by_id(11, false);
  EXPECT_EQ(levels_by_id(11, true), forward);
  EXPECT_NE(levels_by_id(12, false), forward);
  size_t upper = 0;
  for (uint8_t l : forward) upper += l >= 1;
  EXPECT_NEAR(static_cast<double>(upper) / 4000.0, 0.25, 0.04);  // 1/m, as unseeded
}

TEST(Insert, DeletedEntryIsReplacedByALiveStart) {
  auto g = make_graph(Metric::kEuclidean, 4, 32, 4, 4);
  insert_random(*g, 100, 9);
  // Mark a node deleted behind the entry word's back (as a restored snapshot
  // with a deleted entry point would leave it).
  const uint64_t e = entry_index(g->entry.load());
  g->deleted.set(e, 1);
  g->node_states.set(e, static_cast<uint8_t>(NodeState::kDeleted));
  ASSERT_TRUE(g->insert(1000, std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}).ok());
  const uint64_t idx = *g->index_of(1000);
  std::vector<uint32_t> list = g->layer(0).copy(idx);
  ASSERT_GT(list.size(), 1u);
  for (uint32_t x : list) EXPECT_NE(x, e);
  EXPECT_EQ(g->state(idx), NodeState::kLinked);
}

TEST(Insert, EntryPointTracksTheHighestLevel) {
  for (uint32_t seed = 0; seed < 5; ++seed) {
    auto g = make_graph(Metric::kCosine, 3, 16, 16, 4);
    insert_random(*g, 300, 100 + seed);
    expect_graph_invariants(*g, true);
  }
}

// A back-link whose key equals keys already in the list goes after them.
TEST(Insert, EqualKeyBackLinksKeepInsertionOrder) {
  auto g = make_graph(Metric::kEuclidean, 8, 32, 0, 2);
  ASSERT_TRUE(g->insert(0, std::vector<float>{0, 0}).ok());
  ASSERT_TRUE(g->insert(1, std::vector<float>{1, 0}).ok());
  ASSERT_TRUE(g->insert(2, std::vector<float>{-1, 0}).ok());
  ASSERT_TRUE(g->insert(3, std::vector<float>{0, 1}).ok());
  EXPECT_EQ(g->layer(0).copy(0), (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(g->neighbor_scores.copy(0), (std::vector<float>{0, 1, 1, 1}));
}

// ---- Diversity selection ------------------------------------------------

// Node 0 at the origin is the point being linked; candidates carry keys
// from it. A (1) is nearest; B (2) and E (5) sit right next to A; F (6) is
// fairly close to A; C (3) and D (4) lie in other directions.
class SelectFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ = make_graph(Metric::kEuclidean, 4, 16, 0, 2);
    const std::vector<std::vector<float>> pts = {{0, 0},    {1, 0},     {1.1f, 0.1f}, {0, -1.2f},
                                                 {-1.3f, 0}, {1.2f, 0}, {0.6f, 0.9f}};
    for (size_t i = 0; i < pts.size(); ++i) ASSERT_TRUE(g_->insert(i, pts[i]).ok());
  }
  std::vector<ScoredNode> cands(std::vector<uint64_t> nodes) const {
    std::vector<ScoredNode> out;
    for (uint64_t n : nodes) {
      float raw = score(g_->metric, g_->vector(0), g_->vector(n), 2);
      out.push_back({n, raw, raw});
    }
    detail::sort_by_key(out);
    return out;
  }
  std::unique_ptr<Graph> g_;
};

TEST_F(SelectFixture, RelativeNeighbourhoodRuleThenFill) {
  // Keys: A 1, F 1.17, B 1.22, C 1.44, E 1.44, D 1.69.
  auto c = cands({1, 2, 3, 4, 5, 6});
  // F, B and E lie closer to A than to the origin: pruned in pass 1.
  EXPECT_EQ(select_neighbors(*g_, c, 3, 0), (std::vector<uint64_t>{1, 3, 4}));
  // Pass 2 fills in candidate order.
  EXPECT_EQ(select_neighbors(*g_, c, 5, 0), (std::vector<uint64_t>{1, 3, 4, 6, 2}));
  EXPECT_EQ(select_neighbors(*g_, c, 0, 0), std::vector<uint64_t>{});
}

TEST_F(SelectFixture, DeletedAndRepeatedCandidatesOnlyFill) {
  g_->mark_deleted(1);  // A
  auto c = cands({1, 2, 3, 4, 5, 6});
  c.push_back(c[1]);  // a repeated candidate is selected once
  // Without A, F is the nearest live candidate and prunes B and E.
  EXPECT_EQ(select_neighbors(*g_, c, 4, 0), (std::vector<uint64_t>{6, 3, 4, 1}));
  EXPECT_EQ(select_neighbors(*g_, c, 10, 0), (std::vector<uint64_t>{6, 3, 4, 1, 2, 5}));
}

TEST_F(SelectFixture, DiversityKnobsFromTheEnvironment) {
  // Runs each setting in a fresh process (the values are read once).
  if (in_child()) {
    auto c = cands({1, 2, 3, 4, 5, 6});
    const std::string mode = std::getenv("SELECT_MODE");
    if (mode == "floor") {  // the three best live candidates skip the test
      EXPECT_EQ(select_neighbors(*g_, c, 8, 0), (std::vector<uint64_t>{1, 6, 2, 3, 4, 5}));
      EXPECT_EQ(select_neighbors(*g_, c, 4, 0), (std::vector<uint64_t>{1, 6, 2, 3}));
    } else if (mode == "alpha") {  // alpha 0.5 on every level keeps F
      EXPECT_EQ(select_neighbors(*g_, c, 3, 0), (std::vector<uint64_t>{1, 6, 3}));
      EXPECT_EQ(select_neighbors(*g_, c, 3, 1), (std::vector<uint64_t>{1, 6, 3}));
    } else if (mode == "low_high") {  // low 0.5 on level 0, high 1.0 above
      EXPECT_EQ(select_neighbors(*g_, c, 3, 0), (std::vector<uint64_t>{1, 6, 3}));
      EXPECT_EQ(select_neighbors(*g_, c, 3, 1), (std::vector<uint64_t>{1, 3, 4}));
    } else if (mode == "high_prunes") {  // alpha 3 prunes all but A and the far D
      EXPECT_EQ(select_neighbors(*g_, c, 2, 0), (std::vector<uint64_t>{1, 4}));
      EXPECT_EQ(select_neighbors(*g_, c, 6, 0), (std::vector<uint64_t>{1, 4, 6, 2, 3, 5}));
    } else {
      ADD_FAILURE() << "unknown mode " << mode;
    }
    return;
  }
  const std::string self = "SelectFixture.DiversityKnobsFromTheEnvironment";
  EXPECT_EQ(run_in_child(self, {{"SELECT_MODE", "floor"}, {"VECTORDB_DIVERSITY_PRUNE_FLOOR", "3"}}), 0);
  EXPECT_EQ(run_in_child(self, {{"SELECT_MODE", "alpha"}, {"VECTORDB_DIVERSITY_ALPHA", "0.5"}}), 0);
  EXPECT_EQ(run_in_child(self, {{"SELECT_MODE", "low_high"}, {"VECTORDB_DIVERSITY_ALPHA_LOW", "0.5"}}), 0);
  EXPECT_EQ(run_in_child(self, {{"SELECT_MODE", "high_prunes"}, {"VECTORDB_DIVERSITY_ALPHA", "3"}}), 0);
}

TEST(SelectNeighbors, DotKeysOrderByDescendingInnerProduct) {
  auto g = make_graph(Metric::kDot, 4, 16, 0, 2);
  const std::vector<std::vector<float>> pts = {{1, 0}, {3, 0}, {5, 0}, {0, 4}};
  for (size_t i = 0; i < pts.size(); ++i) ASSERT_TRUE(g->insert(i, pts[i]).ok());
  std::vector<ScoredNode> c;
  for (uint64_t n : {1, 2, 3}) {
    float raw = score(Metric::kDot, g->vector(0), g->vector(n), 2);
    c.push_back({n, raw, sort_key(Metric::kDot, raw)});
  }
  detail::sort_by_key(c);
  ASSERT_EQ(c[0].node, 2u);  // inner product 5 first, then 3, then 0
  EXPECT_EQ(c[1].node, 1u);
  // Dot keys are negative, so the rule compares negated inner products.
  EXPECT_EQ(select_neighbors(*g, c, 3, 0), (std::vector<uint64_t>{2, 3, 1}));
}

// The rule written out directly: pass 1 against every pick in order, then
// the fill. The library may test picks in any order; the answer must match.
std::vector<uint64_t> reference_select(const Graph& g, const std::vector<ScoredNode>& c, size_t m) {
  std::vector<uint64_t> out;
  for (const ScoredNode& x : c) {
    if (out.size() >= m) break;
    bool keep = true;
    for (uint64_t s : out) {
      float d = score(g.metric, g.vector(x.node), g.vector(s), g.dim);
      if (g.metric == Metric::kDot) d = -d;
      if (d < x.key) keep = false;
    }
    if (keep) out.push_back(x.node);
  }
  for (const ScoredNode& x : c)
    if (out.size() < m && std::find(out.begin(), out.end(), x.node) == out.end()) out.push_back(x.node);
  return out;
}

class SelectMetric : public ::testing::TestWithParam<Metric> {};

TEST_P(SelectMetric, ManyCandidatesMatchTheRuleWrittenOut) {
  auto g = make_graph(GetParam(), 8, 16, 0, 24);
  std::mt19937 rng(31);
  const auto pts = testing::clustered(rng, 400, 24, 6);
  for (size_t i = 0; i < pts.size(); ++i) ASSERT_TRUE(g->insert(i, pts[i]).ok());
  for (uint64_t from : {0, 17, 399}) {
    std::vector<ScoredNode> c;
    for (uint64_t n = 0; n < g->len(); ++n) {
      if (n == from) continue;
      float raw = score(g->metric, g->vector(from), g->vector(n), 24);
      c.push_back({n, raw, sort_key(g->metric, raw)});
    }
    detail::sort_by_key(c);
    for (size_t m : {4, 16, 48})
      EXPECT_EQ(select_neighbors(*g, c, m, 0), reference_select(*g, c, m)) << "from " << from << " m " << m;
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, SelectMetric, ::testing::Values(Metric::kEuclidean, Metric::kCosine, Metric::kDot));

// ---- Sorting -----------------------------------------------------------

TEST(SortByKey, StableWithNaNLastAtEverySize) {
  std::mt19937 rng(11);
  // Signed zeros compare equal and must keep their order; infinities and
  // negative keys (Dot) sort by value; every NaN goes last.
  const float specials[] = {NAN, -0.0f, 0.0f, INFINITY, -INFINITY, -2.5f, 1e-30f, -1e-30f};
  for (size_t n : {0, 1, 5, 20, 21, 63, 64, 257, 1000}) {
    std::vector<ScoredNode> v;
    for (size_t i = 0; i < n; ++i) {
      float key = (rng() % 3 == 0) ? specials[rng() % 8] : static_cast<float>(rng() % 10) - 4.0f;
      v.push_back({i, key, key});
    }
    std::vector<ScoredNode> want = v;
    std::stable_sort(want.begin(), want.end(), [](const ScoredNode& a, const ScoredNode& b) {
      return a.key < b.key || (!std::isnan(a.key) && std::isnan(b.key));
    });
    std::vector<ScoredNode> got = v;
    detail::sort_by_key(got);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(got[i].node, want[i].node) << "n=" << n << " i=" << i;
    // A sorted prefix plus an unsorted tail sorts the same way.
    std::vector<ScoredNode> split = v;
    const size_t prefix = n / 3;
    detail::sort_by_key(std::span<ScoredNode>(split).first(prefix));
    detail::sort_tail_and_merge(split, prefix);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(split[i].node, want[i].node) << "n=" << n << " i=" << i;
  }
}

// ---- Cap enforcement -----------------------------------------------------

TEST(EnforceCap, TrimsToTheLimitKeepingSelfFirstAndScoresParallel) {
  auto g = make_graph(Metric::kEuclidean, 2, 16, 2, 4);  // level-0 limit 5, upper 3
  insert_random(*g, 30, 21);
  std::vector<uint32_t> all;
  for (uint32_t i = 0; i < 30; ++i) all.push_back(i);
  std::rotate(all.begin(), all.begin() + 5, all.end());  // self (5) first
  g->layer(0).assign(5, all);
  g->neighbor_scores.assign(5, std::vector<float>{});
  enforce_cap(*g, 0, 5);
  std::vector<uint32_t> list = g->layer(0).copy(5);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0], 5u);
  std::vector<float> scores = g->neighbor_scores.copy(5);
  ASSERT_EQ(scores.size(), 5u);
  for (size_t k = 1; k < 5; ++k) EXPECT_EQ(scores[k], score(g->metric, g->vector(5), g->vector(list[k]), 4));
  // Nothing happens at or under the limit, or on a level the index lacks.
  enforce_cap(*g, 0, 5);
  EXPECT_EQ(g->layer(0).copy(5), list);
  enforce_cap(*g, 99, 5);
}

// A cap that uses the hint left by the previous cap must pick exactly what a
// full pass picks.
TEST(EnforceCap, HintedCapMatchesFullPass) {
  for (Metric metric : {Metric::kEuclidean, Metric::kCosine, Metric::kDot}) {
    auto g = make_graph(metric, 4, 16, 0, 6);  // level-0 limit 9
    insert_random(*g, 300, 31);
    std::mt19937 rng(5);
    uint64_t word = 0;
    std::vector<uint32_t> list = {0};
    std::vector<float> raws = {0.0f};
    std::vector<uint32_t> plain_list;
    std::vector<float> plain_raws, kept;
    for (uint32_t step = 0; step < 200; ++step) {
      uint32_t x = 1 + rng() % 299;
      if (std::find(list.begin(), list.end(), x) != list.end()) continue;
      size_t pos = rng() % (list.size() + 1);
      list.insert(list.begin() + static_cast<ptrdiff_t>(pos), x);
      raws.insert(raws.begin() + static_cast<ptrdiff_t>(pos), score(metric, g->vector(0), g->vector(x), 6));
      plain_list = list;
      plain_raws = raws;
      detail::CapHint hint{&word, pos};
      if (!detail::cap_list_locked(*g, 0, 0, list, &raws, &kept, &hint)) continue;
      raws = kept;
      ASSERT_TRUE(detail::cap_list_locked(*g, 0, 0, plain_list, &plain_raws, &kept, nullptr));
      ASSERT_EQ(list, plain_list) << "step " << step;
    }
  }
}

// ---- Trace --------------------------------------------------------------

// Values of one insert trace line, in order; empty when a key is missing or
// out of order.
std::vector<std::string> trace_values(const std::string& line) {
  static const char* kKeys[] = {"insert_id",   "point_id",      "level",     "current_max_level",
                                "layer",       "entry_point",   "current_entry", "candidates",
                                "neighbors",   "best_neighbor", "elapsed_ms"};
  std::vector<std::string> out;
  if (line.empty() || line.front() != '{' || line.back() != '}') return out;
  size_t pos = 1;
  for (const char* key : kKeys) {
    const std::string head = std::string("\"") + key + "\":";
    if (line.compare(pos, head.size(), head) != 0) return {};
    pos += head.size();
    size_t end = line.find_first_of(",}", pos);
    out.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return pos == line.size() ? out : std::vector<std::string>{};
}

TEST(Insert, TraceHasOneLinePerLinkedLayerAndCountsEveryInsert) {
  const std::string path = ::testing::TempDir() + "insert_trace_test.jsonl";
  if (in_child()) {
    auto g = make_graph(Metric::kEuclidean, 4, 16, 4, 3);
    std::mt19937 rng(1);
    for (uint64_t i = 0; i < 40; ++i) {
      ASSERT_TRUE(g->insert(i, random_vector(rng, 3)).ok());
      if (i == 10) {
        ASSERT_FALSE(g->insert(999, std::vector<float>{1}).ok());  // not counted
      }
      if (i == 20) {
        ASSERT_TRUE(g->insert(5, std::vector<float>{1, 1, 1}).ok());  // counted, no lines
      }
    }
    std::ifstream in(path);
    std::string line;
    std::map<uint64_t, std::vector<uint64_t>> layers_by_id;
    while (std::getline(in, line)) {
      std::vector<std::string> v = trace_values(line);
      ASSERT_EQ(v.size(), 11u) << line;
      uint64_t id = std::stoull(v[0]), point = std::stoull(v[1]), level = std::stoull(v[2]);
      uint64_t expected_point = id <= 21 ? id - 1 : id - 2;  // insert 22 re-inserted point 5
      EXPECT_EQ(point, expected_point);
      EXPECT_EQ(level, g->levels.get(point));
      EXPECT_NE(v[5], "null");  // entry_point
      EXPECT_LE(std::stoull(v[8]), std::stoull(v[7]));  // neighbors <= candidates
      EXPECT_GE(std::stod(v[10]), 0.0);                  // elapsed_ms
      layers_by_id[id].push_back(std::stoull(v[4]));
    }
    // Inserts 2..41 (the first links no layer, the duplicate #22 none).
    std::set<uint64_t> ids;
    for (auto& [id, layers] : layers_by_id) {
      ids.insert(id);
      uint64_t point = id <= 21 ? id - 1 : id - 2;
      uint64_t level = g->levels.get(point);
      ASSERT_EQ(layers.size(), level + 1) << "insert " << id;
      for (size_t k = 0; k < layers.size(); ++k) EXPECT_EQ(layers[k], level - k);  // top layer first
    }
    std::set<uint64_t> want;
    for (uint64_t id = 2; id <= 41; ++id)
      if (id != 22) want.insert(id);
    EXPECT_EQ(ids, want);
    return;
  }
  EXPECT_EQ(run_in_child("Insert.TraceHasOneLinePerLinkedLayerAndCountsEveryInsert",
                         {{"VECTORDB_INSERT_TRACE_LOG", path}, {"VECTORDB_TRACE_EVERY", "1"}}),
            0);
  std::remove(path.c_str());
}

// ---- Quality ------------------------------------------------------------

TEST(InsertQuality, RecallAgainstBruteForceOnClusteredData) {
  const size_t n = 3000, dim = 32;
  std::mt19937 rng(2024);
  auto data = testing::clustered(rng, n, dim, 60);
  for (Metric metric : {Metric::kEuclidean, Metric::kCosine}) {
    Graph g(metric, 16, 100, 16, dim);
    g.level_seed = 5;  // one thread and fixed levels: the same graph every run
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(g.insert(i, data[i]).ok());
    // The plain-loop reference of test_graphs.h scores Cosine as 1 - the
    // dot product: it needs unit vectors (the query after the search).
    std::vector<std::vector<float>> stored = data;
    if (metric == Metric::kCosine)
      for (auto& v : stored) v = testing::normalized(v);
    SearchOptions options;
    options.ef = 64;
    double hits = 0;
    const size_t queries = 100;
    std::vector<ScoredNode> out;
    for (size_t q = 0; q < queries; ++q) {
      std::vector<float> query = data[rng() % n];
      for (float& x : query) x += 0.05f * std::normal_distribution<float>()(rng);
      ASSERT_TRUE(g.search(query, 10, options, out).ok());
      if (metric == Metric::kCosine) query = testing::normalized(query);
      auto want = testing::brute_force(metric, stored, query, 10);
      std::set<uint64_t> truth(want.begin(), want.end());
      for (const ScoredNode& r : out) hits += truth.count(r.node);
    }
    EXPECT_GT(hits / (queries * 10.0), 0.9) << "metric " << static_cast<int>(metric);
  }
}

}  // namespace
}  // namespace ulmora::hnsw
