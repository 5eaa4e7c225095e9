#include "segment/filtered_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "segment/segment.h"
#include "segment/store_test_util.h"

namespace ulmora {
namespace {

using Op = Filter::Op;
using hnsw::ScoredNode;
using hnsw::SearchOptions;

constexpr uint64_t kDim = 8;

// n points of random rows; payload {"c": id % 10, "half": id < n / 2},
// every 13th point without a payload.
std::unique_ptr<Segment> make_segment(uint64_t n, Metric metric, std::vector<float>& rows) {
  rows = testing_util::random_rows(n, kDim, 7);
  auto seg = Segment::create(metric, 8, 64, kDim);
  for (uint64_t id = 0; id < n; ++id) {
    std::optional<Payload> p;
    if (id % 13 != 0) p = Payload{{"c", PayloadValue{int64_t(id % 10)}}, {"half", PayloadValue{id < n / 2}}};
    std::vector<float> v(rows.begin() + id * kDim, rows.begin() + (id + 1) * kDim);
    EXPECT_TRUE(seg->insert(id, std::move(v), std::move(p), Segment::Source::kReplay).ok());
  }
  return seg;
}

// The reference: every live matching point scored in double precision.
std::vector<uint64_t> brute_force(const Segment& seg, const std::vector<float>& rows, const Filter& f,
                                  const float* q, size_t k) {
  std::vector<std::pair<double, uint64_t>> all;
  seg.for_each_live([&](uint64_t id, uint64_t) {
    auto it = seg.payloads().find(id);
    if (!matches(f, id, it == seg.payloads().end() ? nullptr : &it->second)) return;
    double d = 0;
    for (uint64_t j = 0; j < kDim; ++j) d += std::pow(double(rows[id * kDim + j]) - q[j], 2);
    all.emplace_back(d, id);
  });
  std::sort(all.begin(), all.end());
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < all.size() && i < k; ++i) ids.push_back(all[i].second);
  return ids;
}

std::vector<uint64_t> ids_of(const std::vector<ScoredNode>& r) {
  std::vector<uint64_t> ids;
  for (const ScoredNode& x : r) ids.push_back(x.node);
  return ids;
}

// Every hit matches and is live, none repeats, order is (key, id).
void expect_valid(const Segment& seg, const Filter& f, const std::vector<ScoredNode>& r) {
  std::set<uint64_t> seen;
  for (size_t i = 0; i < r.size(); ++i) {
    const uint64_t id = r[i].node;
    auto at = seg.hnsw().index_of(id);
    ASSERT_TRUE(at && seg.is_live(*at)) << id;
    auto it = seg.payloads().find(id);
    EXPECT_TRUE(matches(f, id, it == seg.payloads().end() ? nullptr : &it->second)) << id;
    EXPECT_TRUE(seen.insert(id).second) << "repeated " << id;
    if (i > 0) {
      EXPECT_TRUE(r[i - 1].key < r[i].key || (r[i - 1].key == r[i].key && r[i - 1].node < r[i].node));
    }
  }
}

struct Named {
  const char* name;
  Filter filter;
};

std::vector<Named> filters() {
  return {
      {"eq", Filter::compare(Op::kEq, "c", PayloadValue{int64_t(3)})},
      {"in", Filter::in(false, "c", {PayloadValue{int64_t(1)}, PayloadValue{int64_t(8)}})},
      {"range", Filter::compare(Op::kGte, "c", PayloadValue{int64_t(2)})},
      {"not", Filter::negate(Filter::compare(Op::kEq, "half", PayloadValue{true}))},
      {"few ids", Filter::id_in(false, {5, 77, 901, 1500})},
      {"none", Filter::compare(Op::kEq, "c", PayloadValue{int64_t(99)})},
  };
}

TEST(FilteredSearch, ExactRouteEqualsBruteForceAndGraphRouteIsComplete) {
  std::vector<float> rows;
  auto seg = make_segment(2000, Metric::kEuclidean, rows);
  for (uint64_t id : {10, 11, 12, 403, 1999}) ASSERT_TRUE(seg->remove(id, Segment::Source::kReplay).ok());
  const std::vector<float> queries = testing_util::random_rows(12, kDim, 99);
  std::vector<ScoredNode> out;
  for (const Named& f : filters()) {
    auto plan = plan_filter(f.filter, *seg, SearchRoute::kGraph, 64);
    ASSERT_TRUE(plan.ok()) << f.name;
    for (size_t qi = 0; qi < 12; ++qi) {
      const std::span<const float> q(queries.data() + qi * kDim, kDim);
      for (size_t k : {1, 10, 50}) {
        const std::vector<uint64_t> want = brute_force(*seg, rows, f.filter, q.data(), k);
        ASSERT_TRUE(filtered_search(*seg, f.filter, SearchRoute::kExact, q, k, SearchOptions{}, out).ok());
        EXPECT_EQ(ids_of(out), want) << f.name << " k=" << k;
        FilteredStats st;
        ASSERT_TRUE(filtered_search(*seg, *plan, q, k, SearchOptions{}, out, &st).ok());
        EXPECT_EQ(out.size(), want.size()) << f.name << " k=" << k;
        expect_valid(*seg, f.filter, out);
      }
    }
  }
}

// The same prepared query and kernels as the graph: a score differs from
// the unfiltered search's only by the last-bit rounding that separates the
// four-vector kernels from the single ones (a node's place in a scoring
// batch decides which it gets, in the unfiltered beam too).
TEST(FilteredSearch, ScoresAreTheUnfilteredSearchsScores) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kEuclidean}) {
    std::vector<float> rows;
    auto seg = make_segment(600, metric, rows);
    const Filter f = Filter::compare(Op::kLte, "c", PayloadValue{int64_t(4)});
    const std::vector<float> q = testing_util::random_rows(1, kDim, 5);
    std::vector<ScoredNode> plain, exact, walked;
    SearchOptions wide;
    wide.ef = 600;
    ASSERT_TRUE(seg->hnsw().search(q, 100, wide, plain).ok());
    ASSERT_TRUE(filtered_search(*seg, f, SearchRoute::kExact, q, 100, wide, exact).ok());
    ASSERT_TRUE(filtered_search(*seg, f, SearchRoute::kGraph, q, 100, wide, walked).ok());
    std::map<uint64_t, float> raw;
    for (const ScoredNode& x : plain) raw[x.node] = x.raw;
    size_t compared = 0, equal = 0;
    for (const auto* r : {&exact, &walked}) {
      for (const ScoredNode& x : *r) {
        if (!raw.count(x.node)) continue;
        // A few units in the last place of the kernel's sum (Cosine's 1 - dot
        // turns one unit of a dot near 1 into several of the raw score).
        EXPECT_LE(std::fabs(raw[x.node] - x.raw), 1e-6f * std::max(1.0f, std::fabs(x.raw)))
            << raw[x.node] << " " << x.raw;
        ++compared;
        equal += raw[x.node] == x.raw;
      }
    }
    EXPECT_GT(compared, 40u);
    EXPECT_GT(equal, compared / 4);
  }
}

TEST(FilteredSearch, PlannerScansFewMatchesWalksManyAndSwitchesALongWalk) {
  std::vector<float> rows;
  auto seg = make_segment(3000, Metric::kEuclidean, rows);
  const std::vector<float> q = testing_util::random_rows(1, kDim, 3);
  std::vector<ScoredNode> out, exact;
  const uint64_t live = 3000;
  // Both sides of the crossover, as the planner sees them.
  EXPECT_FALSE(prefer_walk(20, live, 64, kDim));
  EXPECT_TRUE(prefer_walk(live, live, 64, kDim));

  FilteredStats st;
  const Filter few = Filter::id_in(false, {1, 2, 3, 500, 2999});
  ASSERT_TRUE(filtered_search(*seg, few, SearchRoute::kAuto, q, 10, SearchOptions{}, out, &st).ok());
  EXPECT_EQ(st.used, SearchRoute::kExact);
  EXPECT_FALSE(st.switched);
  EXPECT_EQ(st.walk.visited, 0u);
  EXPECT_EQ(out.size(), 5u);

  const Filter most = Filter::id_in(true, {1, 2});
  ASSERT_TRUE(filtered_search(*seg, most, SearchRoute::kAuto, q, 10, SearchOptions{}, out, &st).ok());
  EXPECT_EQ(st.used, SearchRoute::kGraph);
  EXPECT_GT(st.walk.visited, 0u);

  // A walk planned over few matches visits more nodes than there are
  // matches and hands over to the exact scan, with the exact answer.
  const Filter rare = Filter::compare(Op::kEq, "c", PayloadValue{int64_t(6)});
  auto plan = plan_filter(rare, *seg, SearchRoute::kAuto, 64);
  ASSERT_TRUE(plan.ok());
  ASSERT_FALSE(plan->walk);
  plan->walk = true;
  plan->probe = false;
  plan->matches.to_bitmap();
  ASSERT_TRUE(filtered_search(*seg, *plan, q, 10, SearchOptions{}, out, &st).ok());
  EXPECT_TRUE(st.switched);
  EXPECT_TRUE(st.walk.over_budget);
  EXPECT_EQ(st.used, SearchRoute::kExact);
  ASSERT_TRUE(filtered_search(*seg, rare, SearchRoute::kExact, q, 10, SearchOptions{}, exact).ok());
  EXPECT_EQ(ids_of(out), ids_of(exact));

  // The graph route on 1% of the points: second hops happen, and the walk
  // still finds the exact answer on this small graph.
  const Filter sparse = Filter::id_in(false, [] {
    std::vector<uint64_t> ids;
    for (uint64_t id = 7; id < 3000; id += 100) ids.push_back(id);
    return ids;
  }());
  ASSERT_TRUE(filtered_search(*seg, sparse, SearchRoute::kGraph, q, 10, SearchOptions{}, out, &st).ok());
  ASSERT_TRUE(filtered_search(*seg, sparse, SearchRoute::kExact, q, 10, SearchOptions{}, exact).ok());
  EXPECT_GT(st.walk.two_hop, 0u);
  EXPECT_EQ(out.size(), 10u);
  expect_valid(*seg, sparse, out);
}

TEST(FilteredSearch, DeletedPointsNeverComeBack) {
  std::vector<float> rows;
  auto seg = make_segment(1500, Metric::kEuclidean, rows);
  const std::vector<float> q = testing_util::random_rows(1, kDim, 11);
  const Filter f = Filter::compare(Op::kGte, "c", PayloadValue{int64_t(0)});
  std::vector<ScoredNode> before, after;
  ASSERT_TRUE(filtered_search(*seg, f, SearchRoute::kExact, q, 20, SearchOptions{}, before).ok());
  std::set<uint64_t> gone;
  for (size_t i = 0; i < before.size(); i += 2) gone.insert(before[i].node);
  for (uint64_t id : gone) ASSERT_TRUE(seg->remove(id, Segment::Source::kReplay).ok());
  for (SearchRoute route : {SearchRoute::kExact, SearchRoute::kGraph, SearchRoute::kAuto}) {
    ASSERT_TRUE(filtered_search(*seg, f, route, q, 20, SearchOptions{}, after).ok());
    EXPECT_EQ(after.size(), 20u);
    for (const ScoredNode& x : after) EXPECT_EQ(gone.count(x.node), 0u) << x.node;
    expect_valid(*seg, f, after);
  }
}

// The probe: a filter holding the query's neighbourhood walks where one of
// the same size spread over the graph scans, and both answer exactly.
TEST(FilteredSearch, PlannerWalksAFilterCorrelatedWithTheQueryAndScansAnUnrelatedOne) {
  std::vector<float> rows;
  auto seg = make_segment(12000, Metric::kEuclidean, rows);
  const std::vector<float> q = testing_util::random_rows(1, kDim, 8);
  std::vector<ScoredNode> all;
  ASSERT_TRUE(filtered_search(*seg, Filter::all(), SearchRoute::kExact, q, 1200, SearchOptions{}, all).ok());
  std::vector<uint64_t> near = ids_of(all), spread;
  for (uint64_t id = 0; id < 12000; id += 10) spread.push_back(id);
  SearchOptions narrow;
  narrow.ef = 10;
  ASSERT_TRUE(walk_possible(1200, 12000, 8, 10, kDim));
  ASSERT_FALSE(prefer_walk(1200, 12000, 10, kDim));
  std::vector<ScoredNode> out, exact;
  for (const auto& [ids, walks] : {std::pair{near, true}, std::pair{spread, false}}) {
    const Filter f = Filter::id_in(false, ids);
    FilteredStats st;
    ASSERT_TRUE(filtered_search(*seg, f, SearchRoute::kAuto, q, 10, narrow, out, &st).ok());
    EXPECT_EQ(st.used, walks ? SearchRoute::kGraph : SearchRoute::kExact);
    EXPECT_EQ(st.walk.declined, !walks);
    EXPECT_FALSE(st.switched);
    ASSERT_TRUE(filtered_search(*seg, f, SearchRoute::kExact, q, 10, narrow, exact).ok());
    expect_valid(*seg, f, out);
    const std::vector<uint64_t> got = ids_of(out), want = ids_of(exact);
    if (!walks) {
      EXPECT_EQ(got, want);
    }
    const auto found = std::count_if(want.begin(), want.end(),
                                     [&](uint64_t id) { return std::find(got.begin(), got.end(), id) != got.end(); });
    EXPECT_GE(found, 7);  // a walk at ef 10 on random 8-dimensional rows
  }
}

// A filter spread evenly over 30% of the points walks by its global share;
// a query whose first ring of neighbours holds one match or none must look
// further before it declines (about one query in fifty here).
TEST(FilteredSearch, TheProbeLooksFurtherBeforeOverrulingTheGlobalShare) {
  std::vector<float> rows;
  auto seg = make_segment(12000, Metric::kEuclidean, rows);
  std::vector<uint64_t> ids;
  for (uint64_t id = 0; id < 12000; ++id) {
    if (id % 10 < 3) ids.push_back(id);
  }
  ASSERT_TRUE(prefer_walk(ids.size(), 12000, 10, kDim));
  const Filter third = Filter::id_in(false, ids);
  const std::vector<float> queries = testing_util::random_rows(300, kDim, 17);
  SearchOptions narrow;
  narrow.ef = 10;
  std::vector<ScoredNode> out;
  int declined = 0;
  for (size_t i = 0; i < 300; ++i) {
    FilteredStats st;
    const std::span<const float> q(queries.data() + i * kDim, kDim);
    ASSERT_TRUE(filtered_search(*seg, third, SearchRoute::kAuto, q, 10, narrow, out, &st).ok());
    declined += st.walk.declined ? 1 : 0;
    expect_valid(*seg, third, out);
  }
  EXPECT_EQ(declined, 0);
}

TEST(FilteredSearch, RowsWithEqualFiltersShareOnePlanAndAnswerAsAlone) {
  std::vector<float> rows;
  auto seg = make_segment(1200, Metric::kEuclidean, rows);
  ASSERT_TRUE(seg->remove(7, Segment::Source::kReplay).ok());
  const Filter eq3 = Filter::compare(Op::kEq, "c", PayloadValue{int64_t(3)});
  const Filter eq4 = Filter::compare(Op::kEq, "c", PayloadValue{int64_t(4)});
  const Filter zero = Filter::compare(Op::kGte, "c", PayloadValue{0.0});
  const Filter minus_zero = Filter::compare(Op::kGte, "c", PayloadValue{-0.0});
  const Filter other_key = Filter::compare(Op::kEq, "d", PayloadValue{int64_t(3)});
  const Filter tree = Filter::logic(Op::kOr, {eq3, Filter::id_in(false, {7, 8, 9})});
  const std::vector<Filter> per_row{eq3, eq4, eq3, zero, minus_zero, other_key, tree, tree, eq3};
  auto made = plan_repeated_filters(per_row, *seg, SearchRoute::kAuto, 32);
  ASSERT_TRUE(made.ok());
  const BatchPlans& b = made.value();
  ASSERT_EQ(b.plans.size(), 3u);  // eq3, the two zeros, the tree
  EXPECT_EQ(b.of_row[0], b.of_row[2]);
  EXPECT_EQ(b.of_row[0], b.of_row[8]);
  EXPECT_EQ(b.of_row[3], b.of_row[4]);
  EXPECT_EQ(b.of_row[6], b.of_row[7]);
  EXPECT_EQ(b.of_row[1], BatchPlans::kOwnPlan);
  EXPECT_EQ(b.of_row[5], BatchPlans::kOwnPlan);
  EXPECT_EQ(filter_hash(zero), filter_hash(minus_zero));
  EXPECT_FALSE(same_filter(eq3, eq4));
  EXPECT_FALSE(same_filter(eq3, other_key));
  const std::vector<float> q = testing_util::random_rows(1, kDim, 5);
  std::vector<ScoredNode> shared, alone;
  for (size_t r = 0; r < per_row.size(); ++r) {
    if (b.of_row[r] == BatchPlans::kOwnPlan) continue;
    ASSERT_TRUE(filtered_search(*seg, b.plans[b.of_row[r]], q, 10, SearchOptions{}, shared).ok());
    ASSERT_TRUE(filtered_search(*seg, per_row[r], SearchRoute::kAuto, q, 10, SearchOptions{}, alone).ok());
    EXPECT_EQ(ids_of(shared), ids_of(alone)) << r;
    expect_valid(*seg, per_row[r], shared);
  }
  Filter bad;
  bad.op = Op::kOr;  // no children: refused before any search
  EXPECT_FALSE(plan_repeated_filters(std::vector<Filter>{bad, bad}, *seg, SearchRoute::kAuto, 32).ok());
}

// A filter every live point passes walks as the unfiltered search does,
// deleted points excluded.
TEST(FilteredSearch, AFilterMatchingEveryPointSearchesAsUnfiltered) {
  std::vector<float> rows;
  auto seg = make_segment(1500, Metric::kEuclidean, rows);
  for (uint64_t id : {3, 4, 500}) ASSERT_TRUE(seg->remove(id, Segment::Source::kReplay).ok());
  const Filter every = Filter::has("nothing", false);  // no point has the key
  const std::vector<float> queries = testing_util::random_rows(8, kDim, 21);
  std::vector<ScoredNode> filtered, plain;
  SearchOptions narrow;
  narrow.ef = 10;  // so the planner walks 1,497 matches
  for (size_t qi = 0; qi < 8; ++qi) {
    const std::span<const float> q(queries.data() + qi * kDim, kDim);
    FilteredStats st;
    ASSERT_TRUE(filtered_search(*seg, every, SearchRoute::kAuto, q, 10, narrow, filtered, &st).ok());
    ASSERT_TRUE(seg->hnsw().search(q, 10, narrow, plain).ok());
    EXPECT_EQ(st.used, SearchRoute::kGraph);
    EXPECT_EQ(ids_of(filtered), ids_of(plain));
    expect_valid(*seg, every, filtered);
  }
}

TEST(FilteredSearch, RefusesBadFiltersAndQueries) {
  std::vector<float> rows;
  auto seg = make_segment(100, Metric::kEuclidean, rows);
  std::vector<ScoredNode> out;
  Filter bad;
  bad.op = Op::kAnd;  // no children
  const std::vector<float> q(kDim, 0.0f);
  EXPECT_FALSE(filtered_search(*seg, bad, SearchRoute::kAuto, q, 5, SearchOptions{}, out).ok());
  const std::vector<float> short_q(kDim - 1, 0.0f);
  for (SearchRoute route : {SearchRoute::kExact, SearchRoute::kGraph}) {
    EXPECT_FALSE(filtered_search(*seg, Filter::all(), route, short_q, 5, SearchOptions{}, out).ok());
  }
}

}  // namespace
}  // namespace ulmora
