#include <gtest/gtest.h>

#include <cstdlib>

#include "vector/hnsw/config.h"
#include "vector/hnsw/graph.h"

namespace ulmora::hnsw {
namespace {

using Lists = std::vector<std::pair<uint64_t, std::vector<uint64_t>>>;

void add_vector(HnswSnapshot& s, uint64_t id, std::vector<float> v) {
  s.vectors.keys.push_back(id);
  s.vectors.begin.push_back(s.vectors.data.size());
  s.vectors.length.push_back(v.size());
  s.vectors.data.insert(s.vectors.data.end(), v.begin(), v.end());
}

void add_level(HnswSnapshot& s, uint64_t level, const Lists& lists) {
  U64ListMap m;
  for (const auto& [id, l] : lists) {
    m.keys.push_back(id);
    m.begin.push_back(m.data.size());
    m.length.push_back(l.size());
    m.data.insert(m.data.end(), l.begin(), l.end());
  }
  s.layers.emplace_back(level, std::move(m));
}

// Points 10, 20, 30, 40 in two dimensions (vector = {id, -id}).
HnswSnapshot four_points() {
  HnswSnapshot s;
  s.metric = Metric::kEuclidean;
  s.dim = 2;
  s.m = 16;
  for (uint64_t id : {10, 20, 30, 40}) add_vector(s, id, {float(id), -float(id)});
  return s;
}

std::unique_ptr<Graph> ok(HnswSnapshot s) {
  auto r = restore_graph(std::move(s));
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(r).value() : nullptr;
}

std::vector<uint32_t> list(const Graph& index, uint64_t level, uint64_t node) {
  return index.layer(level).copy(node);
}

TEST(Restore, EmptyRecord) {
  HnswSnapshot s;
  s.dim = 3;
  s.max_level = 300;
  s.level_cap = 4;
  auto index = ok(std::move(s));
  EXPECT_EQ(index->len(), 0u);
  EXPECT_EQ(index->published_len(), 0u);
  EXPECT_EQ(index->layer_count(), 256u);
  EXPECT_EQ(index->entry.load(), (uint64_t{255} << 32) | 0xFFFFFFFFull);
  EXPECT_EQ(index->layer(0).len(), 0u);
}

TEST(Restore, NeighbourLimitDefaults) {
  struct Case {
    uint64_t m, m0, m0_cap, want_m0, want_cap;
  } cases[] = {{16, 0, 0, 32, 32}, {16, 20, 0, 20, 20}, {16, 0, 5, 32, 5}, {8, 12, 30, 12, 30}};
  for (const Case& c : cases) {
    HnswSnapshot s = four_points();
    s.m = c.m;
    s.m0 = c.m0;
    s.m0_cap = c.m0_cap;
    auto index = ok(std::move(s));
    EXPECT_EQ(index->m, c.m);
    EXPECT_EQ(index->m0, c.want_m0);
    EXPECT_EQ(index->m0_cap, c.want_cap);
  }
}

TEST(Restore, NodesLevelsDeletionsAndEntry) {
  HnswSnapshot s = four_points();
  s.levels = {{5, 9}, {20, 1000}, {30, 3}};  // 5 is not a point; 10 and 40 have none
  s.deleted = {1, 30};
  s.entry_point = 30;
  s.max_level = 3;
  s.level_cap = 2;
  s.ef_search = 33;
  s.ef_construction = 44;
  s.level_scale = 0.7;
  auto index = ok(std::move(s));
  ASSERT_EQ(index->len(), 4u);
  EXPECT_EQ(index->published_len(), 4u);
  EXPECT_EQ(index->levels.get(0), 0);
  EXPECT_EQ(index->levels.get(1), 255);
  EXPECT_EQ(index->levels.get(2), 3);
  EXPECT_EQ(index->levels.get(3), 0);
  EXPECT_EQ(index->deleted_count.load(), 1u);
  EXPECT_EQ(index->deleted.get(2), 1);
  EXPECT_EQ(index->state(2), NodeState::kDeleted);
  EXPECT_EQ(index->state(3), NodeState::kLinked);
  EXPECT_EQ(index->entry.load(), pack_entry(3, 2));  // a deleted entry is kept
  EXPECT_EQ(index->layer_count(), 4u);
  EXPECT_EQ(index->level_cap, 2u);
  EXPECT_EQ(index->ef_search, 33u);
  EXPECT_EQ(index->ef_construction, 44u);
  EXPECT_EQ(index->level_scale, 0.7);
  EXPECT_EQ(index->vector(3)[1], -40.0f);
  EXPECT_EQ(index->index_of(40), 3u);
  EXPECT_EQ(index->neighbor_scores.len(), 4u);
  EXPECT_TRUE(index->sq8_codes.empty());
}

TEST(Restore, ListsTranslateAndDropUnknownIds) {
  HnswSnapshot s = four_points();
  add_level(s, 0, {{10, {10, 99, 30, 20}}, {15, {10}}, {40, {40, 10, 10}}});
  add_level(s, 7, {{20, {20, 40}}});
  s.max_level = 2;
  s.level_cap = 4;
  s.entry_point = 12345;  // not a point
  auto index = ok(std::move(s));
  EXPECT_EQ(index->layer_count(), 8u);
  EXPECT_EQ(list(*index, 0, 0), (std::vector<uint32_t>{0, 2, 1}));
  EXPECT_EQ(list(*index, 0, 3), (std::vector<uint32_t>{3, 0, 0}));  // no de-duplication
  EXPECT_TRUE(list(*index, 0, 1).empty());
  EXPECT_EQ(list(*index, 7, 1), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(index->layer(5).len(), 4u);
  EXPECT_EQ(entry_index(index->entry.load()), kNoEntry);
}

TEST(Restore, SparseIdsTranslateThroughTheMap) {
  HnswSnapshot s;
  s.dim = 1;
  const uint64_t ids[] = {0, 7, 1u << 20, UINT64_MAX - 1, UINT64_MAX};
  for (uint64_t id : ids) add_vector(s, id, {1.0f});
  add_level(s, 0, {{UINT64_MAX, {UINT64_MAX, 0, 8, 1u << 20, UINT64_MAX - 1}}});
  s.entry_point = UINT64_MAX - 1;
  auto index = ok(std::move(s));
  EXPECT_EQ(list(*index, 0, 4), (std::vector<uint32_t>{4, 0, 2, 3}));
  EXPECT_EQ(entry_index(index->entry.load()), 3u);
}

TEST(Restore, HostileLayerCountsStopAt256Layers) {
  struct Case {
    uint64_t layer_key, max_level, level_cap;
  } cases[] = {{uint64_t{1} << 62, 0, 0}, {0, UINT64_MAX, 0}, {0, 0, UINT64_MAX}, {256, 255, 255}};
  for (const Case& c : cases) {
    HnswSnapshot s = four_points();
    add_level(s, 3, {{10, {10, 20}}});
    add_level(s, c.layer_key, {{20, {20, 10}}});
    s.max_level = c.max_level;
    s.level_cap = c.level_cap;
    auto index = ok(std::move(s));
    EXPECT_EQ(index->layer_count(), 256u);
    EXPECT_EQ(list(*index, 3, 0), (std::vector<uint32_t>{0, 1}));
    EXPECT_LE(index->level_cap, 255u);
    EXPECT_LE(entry_level(index->entry.load()), 255u);
  }
}

TEST(Restore, VectorLengthRules) {
  HnswSnapshot longer = four_points();
  longer.dim = 1;  // stored vectors have 2 values: cut to 1
  auto index = ok(std::move(longer));
  EXPECT_EQ(index->vector(1)[0], 20.0f);
  EXPECT_EQ(index->vectors.dim(), 1u);

  HnswSnapshot shorter = four_points();
  shorter.vectors.length[2] = 1;
  auto r = restore_graph(std::move(shorter));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Serialization error: stored vector of point 30 has 1 values, expected 2");

  HnswSnapshot zero = four_points();
  zero.dim = 0;
  auto z = restore_graph(std::move(zero));
  ASSERT_FALSE(z.ok());
  EXPECT_EQ(z.error().message(), "Serialization error: segment snapshot graph has zero dimensions");
}

TEST(Restore, MalformedFlatMapsAreRejected) {
  HnswSnapshot s = four_points();
  s.vectors.begin[3] = 1000;
  EXPECT_FALSE(restore_graph(std::move(s)).ok());
  HnswSnapshot t = four_points();
  add_level(t, 0, {{10, {10}}});
  t.layers[0].second.length[0] = 5;
  EXPECT_FALSE(restore_graph(std::move(t)).ok());
}

TEST(Restore, UnsortedHandBuiltMapsKeepTheLastOccurrence) {
  HnswSnapshot s;
  s.dim = 1;
  add_vector(s, 30, {3});
  add_vector(s, 10, {1});
  add_vector(s, 30, {33});
  s.levels = {{30, 2}, {10, 1}, {30, 4}};
  s.deleted = {30, 10, 30};
  add_level(s, 1, {{30, {30}}});
  add_level(s, 0, {{30, {30, 10}}, {10, {10}}, {30, {30}}});
  auto index = ok(std::move(s));
  ASSERT_EQ(index->len(), 2u);
  EXPECT_EQ(index->point_id(0), 10u);
  EXPECT_EQ(index->vector(1)[0], 33.0f);
  EXPECT_EQ(index->levels.get(1), 4);
  EXPECT_EQ(index->deleted_count.load(), 2u);
  EXPECT_EQ(list(*index, 0, 1), (std::vector<uint32_t>{1}));
  EXPECT_EQ(list(*index, 0, 0), (std::vector<uint32_t>{0}));
  EXPECT_EQ(list(*index, 1, 1), (std::vector<uint32_t>{1}));
}

void expect_same_record(const HnswSnapshot& a, const HnswSnapshot& b) {
  EXPECT_EQ(a.vectors.keys, b.vectors.keys);
  ASSERT_EQ(a.vectors.size(), b.vectors.size());
  for (size_t i = 0; i < a.vectors.size(); ++i) {
    auto x = a.vectors.at(i), y = b.vectors.at(i);
    EXPECT_EQ(std::vector<float>(x.begin(), x.end()), std::vector<float>(y.begin(), y.end()));
  }
  EXPECT_EQ(a.levels, b.levels);
  EXPECT_EQ(a.deleted, b.deleted);
  EXPECT_EQ(a.entry_point, b.entry_point);
  EXPECT_EQ(a.max_level, b.max_level);
  ASSERT_EQ(a.layers.size(), b.layers.size());
  for (size_t l = 0; l < a.layers.size(); ++l) {
    EXPECT_EQ(a.layers[l].first, b.layers[l].first);
    const U64ListMap &x = a.layers[l].second, &y = b.layers[l].second;
    EXPECT_EQ(x.keys, y.keys);
    ASSERT_EQ(x.size(), y.size());
    for (size_t i = 0; i < x.size(); ++i) {
      auto p = x.at(i), q = y.at(i);
      EXPECT_EQ(std::vector<uint64_t>(p.begin(), p.end()), std::vector<uint64_t>(q.begin(), q.end()));
    }
  }
  EXPECT_EQ(a.metric, b.metric);
  EXPECT_EQ(a.m, b.m);
  EXPECT_EQ(a.m0, b.m0);
  EXPECT_EQ(a.m0_cap, b.m0_cap);
  EXPECT_EQ(a.dim, b.dim);
  EXPECT_EQ(a.level_cap, b.level_cap);
  EXPECT_EQ(a.level_scale, b.level_scale);
}

TEST(Export, RoundTripThroughRestore) {
  HnswSnapshot s = four_points();
  s.levels = {{10, 0}, {20, 1}, {30, 0}, {40, 1}};
  s.deleted = {30};
  add_level(s, 0, {{10, {10, 20, 30}}, {20, {20, 10}}, {30, {30, 40}}, {40, {40, 30, 20}}});
  add_level(s, 1, {{20, {20, 40}}, {40, {40, 20}}});
  s.entry_point = 40;
  s.max_level = 1;
  s.level_cap = 1;
  s.m0 = 20;
  s.m0_cap = 24;
  s.level_scale = 0.36;
  auto first = ok(std::move(s));
  HnswSnapshot exported = export_graph(*first);
  EXPECT_EQ(exported.layers.size(), 2u);  // levels without lists get no entry
  auto second = ok(export_graph(*first));
  expect_same_record(exported, export_graph(*second));
  EXPECT_EQ(second->neighbor_scores.size(0), 0u);
  EXPECT_EQ(list(*second, 0, 3), (std::vector<uint32_t>{3, 2, 1}));
  EXPECT_EQ(exported.vectors.at(1)[0], 20.0f);
}

TEST(Export, RenumbersByAscendingPointId) {
  // Nodes allocated out of id order, as insertion does.
  Graph index(Metric::kDot, 4, 10, 2, 2);
  const uint64_t ids[] = {50, 5, 70, 6};
  for (uint64_t i = 0; i < 4; ++i) {
    float v[2] = {float(ids[i]), 1.0f};
    index.vectors.push(v);
    index.levels.push(static_cast<uint8_t>(i % 2));
    index.deleted.push(i == 2 ? 1 : 0);
    index.node_states.push(static_cast<uint8_t>(i == 2 ? NodeState::kDeleted : NodeState::kLinked));
    index.point_ids.push(ids[i]);
    index.neighbor_scores.push_empty();
    for (auto& layer : index.layers) layer->push_empty();
    index.id_to_index.insert(ids[i], i);
    index.count = i + 1;
  }
  index.layer(0).assign(0, std::vector<uint32_t>{0, 1, 3});
  index.layer(1).assign(3, std::vector<uint32_t>{3, 1});
  index.entry.store(pack_entry(1, 3));
  HnswSnapshot s = export_graph(index);
  EXPECT_EQ(s.vectors.keys, (std::vector<uint64_t>{5, 6, 50, 70}));
  EXPECT_EQ(s.vectors.at(3)[0], 70.0f);
  EXPECT_EQ(s.levels, (U64Map{{5, 1}, {6, 1}, {50, 0}, {70, 0}}));
  EXPECT_EQ(s.deleted, (U64Set{70}));
  EXPECT_EQ(s.entry_point, 6u);
  EXPECT_EQ(s.max_level, 1u);
  ASSERT_EQ(s.layers.size(), 2u);
  EXPECT_EQ(s.layers[0].second.keys, (std::vector<uint64_t>{50}));
  EXPECT_EQ(std::vector<uint64_t>(s.layers[0].second.at(0).begin(), s.layers[0].second.at(0).end()),
            (std::vector<uint64_t>{50, 5, 6}));
  auto restored = ok(std::move(s));
  EXPECT_EQ(list(*restored, 0, 2), (std::vector<uint32_t>{2, 0, 1}));
  EXPECT_EQ(list(*restored, 1, 1), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(restored->entry.load(), pack_entry(1, 1));
}

// The fallback values are read once per process: check them in a fresh one.
TEST(RestoreEnv, FallbackValuesComeFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("VECTORDB_EXACT_FALLBACK_THRESHOLD", "1_0", 1);
        setenv("VECTORDB_EXACT_FALLBACK_ENABLED", "yes", 1);
        HnswSnapshot s = four_points();
        s.exact_fallback_threshold = 999;
        s.exact_fallback_enabled = false;
        auto r = restore_graph(std::move(s));
        bool good = r.ok() && r.value()->exact_fallback_threshold == 10 && r.value()->exact_fallback_enabled;
        std::exit(good ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        unsetenv("VECTORDB_EXACT_FALLBACK_THRESHOLD");
        unsetenv("VECTORDB_EXACT_FALLBACK_ENABLED");
        HnswSnapshot s = four_points();
        s.exact_fallback_threshold = 999;
        s.exact_fallback_enabled = true;
        auto r = restore_graph(std::move(s));
        bool good = r.ok() && r.value()->exact_fallback_threshold == 999 && !r.value()->exact_fallback_enabled;
        std::exit(good ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ulmora::hnsw
