#include "vector/hnsw/filter_edges.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "base/log.h"
#include "vector/hnsw/insert_test_helpers.h"

namespace ulmora::hnsw {
namespace {

using testing::random_vector;

// An index of `n` random points (ids 0..n-1) plus a payload index in which
// every point holds colour -> Str "red" when its id is below `red`, and
// size -> Int (id % 3).
struct Fixture {
  Fixture(uint64_t m, size_t n, size_t red, uint32_t seed = 1)
      : owner(Metric::kEuclidean, m, 32, 0, 4), g(graph_of(owner)) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) {
      vectors.push_back(random_vector(rng, 4));
      EXPECT_TRUE(g.insert(i, vectors.back()).ok());
      Payload p;
      if (i < red) p["colour"] = PayloadValue{std::string("red")};
      p["size"] = PayloadValue{int64_t(i % 3)};
      p["tags"] = PayloadValue{std::vector<std::string>{"a"}};
      index_payload(payload_index, i, p);
      payloads.push_back(p);
    }
  }
  std::vector<uint32_t> list_of(uint64_t point) const { return g.layer(0).copy(*g.index_of(point)); }
  // Level-0 entries of `point` gained by running `f`.
  template <class F>
  std::vector<uint32_t> gained(uint64_t point, F&& f) {
    std::vector<uint32_t> before = list_of(point);
    f();
    std::vector<uint32_t> after = list_of(point), out;
    for (uint32_t e : after)
      if (std::find(before.begin(), before.end(), e) == before.end()) out.push_back(e);
    return out;
  }
  void add(uint64_t point, std::vector<FilterKey> keys) {
    add_filter_edges(owner, point, vectors[point], payloads[point], payload_index, keys);
  }

  HnswIndex owner;
  Graph& g;
  std::vector<std::vector<float>> vectors;
  std::vector<Payload> payloads;
  PayloadIndex payload_index;
};

const FilterKey kColour{1, "colour"};
const FilterKey kSize{2, "size"};
const FilterKey kTags{1, "tags"};

void expect_clean_list(const std::vector<uint32_t>& list, uint32_t self) {
  std::set<uint32_t> seen(list.begin(), list.end());
  EXPECT_EQ(seen.size(), list.size()) << "duplicate entry";
  EXPECT_EQ(std::count(list.begin(), list.end(), self), 1) << "self entry once";
}

TEST(FilterEdges, EmptyKeyListOrMissingValuesLinkNothing) {
  Fixture f(8, 40, 40);
  EXPECT_TRUE(f.gained(3, [&] { f.add(3, {}); }).empty());
  EXPECT_TRUE(f.gained(3, [&] { f.add(3, {FilterKey{1, "absent"}}); }).empty());
  EXPECT_TRUE(f.gained(3, [&] { f.add(3, {kTags}); }).empty());  // list values are never keys
  Payload other{{"colour", PayloadValue{std::string("blue")}}};
  EXPECT_TRUE(f.gained(3, [&] { add_filter_edges(f.owner, 3, f.vectors[3], other, f.payload_index, {&kColour, 1}); })
                  .empty());
}

TEST(FilterEdges, SmallPostingSetLinksEveryLivePeer) {
  Fixture f(8, 60, 5);  // m0 = 16; ids 0..4 are red
  f.g.m0_cap = 100;    // keep the graph's own links out of the way
  f.g.mark_deleted(2);
  std::vector<uint32_t> got = f.gained(4, [&] { f.add(4, {kColour}); });
  std::set<uint32_t> want_any = {0, 1, 3};
  const std::vector<uint32_t> list = f.list_of(4);
  for (uint64_t p : want_any) EXPECT_NE(std::find(list.begin(), list.end(), *f.g.index_of(p)), list.end());
  EXPECT_EQ(std::find(list.begin(), list.end(), *f.g.index_of(2)), list.end());
  for (uint32_t e : got) EXPECT_TRUE(want_any.count(f.g.point_id(e)));
  expect_clean_list(list, 4);
  // The list is re-sorted by key from the node.
  const float* v = f.g.vector(4);
  for (size_t k = 1; k < list.size(); ++k)
    EXPECT_LE(score(Metric::kEuclidean, v, f.g.vector(list[k - 1]), 4),
              score(Metric::kEuclidean, v, f.g.vector(list[k]), 4));
}

TEST(FilterEdges, LargePostingSetsAreSampledAndLinksBounded) {
  Fixture f(2, 300, 300);  // m0 = 4: at most 8 sampled, 4 linked per call
  f.g.m0_cap = 1000;
  for (uint64_t p : {10u, 50u, 299u}) {
    std::vector<uint32_t> got = f.gained(p, [&] { f.add(p, {kColour, kSize}); });
    EXPECT_LE(got.size(), 4u);
    EXPECT_GE(got.size(), 1u);
    expect_clean_list(f.list_of(p), static_cast<uint32_t>(*f.g.index_of(p)));
  }
}

TEST(FilterEdges, OverlappingKeysAndRepeatedCallsAddEachPeerOnce) {
  Fixture f(4, 30, 30);  // m0 = 8
  f.g.m0_cap = 1000;
  // "colour" and "size" holders overlap; the peer set keeps each id once.
  std::vector<uint32_t> first = f.gained(6, [&] { f.add(6, {kColour, kSize}); });
  EXPECT_LE(first.size(), 8u);
  f.add(6, {kColour, kSize});
  f.add(6, {kColour});
  expect_clean_list(f.list_of(6), static_cast<uint32_t>(*f.g.index_of(6)));
}

TEST(FilterEdges, CapsBoundTheListWhenEnforced) {
  Fixture f(2, 200, 200);  // m0_cap = 4: limit 5 with the self entry
  for (uint64_t p = 0; p < 200; p += 7) f.add(p, {kColour, kSize});
  for (uint64_t p = 0; p < 200; ++p) {
    EXPECT_LE(f.list_of(p).size(), 5u);
    expect_clean_list(f.list_of(p), static_cast<uint32_t>(p));
    std::vector<float> scores = f.g.neighbor_scores.copy(p);
    EXPECT_EQ(scores.size(), f.list_of(p).size());
  }
}

TEST(FilterEdge, SingleLinkRules) {
  Fixture f(4, 20, 0);
  f.g.m0_cap = 1000;
  std::vector<uint32_t> before = f.list_of(3), peer_before = f.list_of(17);
  add_filter_edge(f.owner, 0, 3, 12345);  // unknown ids: nothing
  add_filter_edge(f.owner, 0, 12345, 3);
  EXPECT_EQ(f.list_of(3), before);
  add_filter_edge(f.owner, 0, 3, 17);
  add_filter_edge(f.owner, 0, 3, 17);  // present already: not added twice
  std::vector<uint32_t> after = f.list_of(3);
  EXPECT_EQ(std::count(after.begin(), after.end(), *f.g.index_of(17)), 1);
  EXPECT_EQ(f.list_of(17), peer_before);  // one direction only
  expect_clean_list(after, 3);
}

// The aggregate lives per thread, so each case runs on a fresh thread.
std::vector<std::string> agg_lines(const char* setting, int calls, size_t points = 3) {
  std::vector<std::string> lines;
  log::set_sink([&](const log::Record& r) {
    if (r.message.rfind("[filter_edges_agg]", 0) == 0) lines.emplace_back(r.message);
  });
  log::set_max_level(log::Level::kInfo);
  setenv("VECTORDB_LOG_FILTER_EDGES_AGG", setting, 1);
  std::thread([&] {
    Fixture f(2, points, points);  // 3 points: every call samples, scores and links 2 peers
    for (int i = 0; i < calls; ++i) f.add(static_cast<uint64_t>(i) % points, {kColour});
  }).join();
  unsetenv("VECTORDB_LOG_FILTER_EDGES_AGG");
  log::set_max_level(log::Level::kOff);
  log::set_sink(nullptr);
  return lines;
}

TEST(FilterEdgesAggregate, OneLineEveryTenThousandEvents) {
  std::vector<std::string> lines = agg_lines("1", 20000);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("[filter_edges_agg] n=10000 cum_n=10000 samples=20000 scored=20000 added=20000 total_ms=", 0),
            0u)
      << lines[0];
  EXPECT_EQ(lines[1].rfind("[filter_edges_agg] n=10000 cum_n=20000 samples=20000 ", 0), 0u) << lines[1];
  EXPECT_NE(lines[0].find(" bool_ms=0 str_ms="), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(" int_ms=0 float_ms=0"), std::string::npos) << lines[0];
  EXPECT_EQ(agg_lines("FALSE", 10000).size(), 1u);
  // A posting set of 300 with m0 = 4: exactly 8 drawn and scored per event.
  lines = agg_lines("1", 10000, 300);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[filter_edges_agg] n=10000 cum_n=10000 samples=80000 scored=80000 added=40000 ", 0), 0u)
      << lines[0];
  EXPECT_TRUE(agg_lines("0", 10000).empty());
  EXPECT_TRUE(agg_lines("false", 10000).empty());
}

}  // namespace
}  // namespace ulmora::hnsw
