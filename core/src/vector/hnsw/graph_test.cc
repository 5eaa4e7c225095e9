#include "vector/hnsw/graph.h"
#include "vector/hnsw/index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>

namespace ulmora::hnsw {
namespace {

// A graph record with the given points (no lists) for building indexes
// without going through insertion.
HnswSnapshot points(Metric metric, uint64_t dim, const std::vector<std::pair<uint64_t, std::vector<float>>>& pts,
                    const U64Map& levels = {}, const U64Set& deleted = {}) {
  HnswSnapshot s;
  s.metric = metric;
  s.dim = dim;
  for (const auto& [id, v] : pts) {
    s.vectors.keys.push_back(id);
    s.vectors.begin.push_back(s.vectors.data.size());
    s.vectors.length.push_back(v.size());
    s.vectors.data.insert(s.vectors.data.end(), v.begin(), v.end());
  }
  s.levels = levels;
  s.deleted = deleted;
  return s;
}

std::unique_ptr<Graph> build(HnswSnapshot s) {
  auto r = restore_graph(std::move(s));
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::move(r).value();
}

// ---- Scores -------------------------------------------------------------

TEST(Score, CosineOfAVectorWithItselfIsExactlyZero) {
  // Its dot product with itself rounds above 1.
  float v[1] = {std::nextafter(1.0f, 2.0f)};
  EXPECT_GT(v[0] * v[0], 1.0f);
  EXPECT_EQ(score(Metric::kCosine, v, v, 1), 0.0f);
  float w[1] = {-v[0]};
  EXPECT_EQ(score(Metric::kCosine, v, w, 1), 2.0f);
}

TEST(Score, MetricsAndKeys) {
  float origin[2] = {0, 0}, p[2] = {3, 4};
  EXPECT_EQ(score(Metric::kEuclidean, origin, p, 2), 25.0f);
  EXPECT_EQ(score(Metric::kDot, p, p, 2), 25.0f);
  EXPECT_LT(sort_key(Metric::kDot, 5.0f), sort_key(Metric::kDot, 3.0f));
  EXPECT_EQ(sort_key(Metric::kDot, 5.0f), -5.0f);
  EXPECT_EQ(sort_key(Metric::kCosine, 0.25f), 0.25f);
  EXPECT_EQ(sort_key(Metric::kEuclidean, 25.0f), 25.0f);
  // Empty vectors: dot 0.
  EXPECT_EQ(score(Metric::kCosine, p, p, 0), 1.0f);
  EXPECT_EQ(score(Metric::kEuclidean, p, p, 0), 0.0f);
  EXPECT_EQ(score(Metric::kDot, p, p, 0), 0.0f);
  // NaN propagates.
  float nan[2] = {std::numeric_limits<float>::quiet_NaN(), 0};
  EXPECT_TRUE(std::isnan(score(Metric::kCosine, nan, p, 2)));
  EXPECT_TRUE(std::isnan(score(Metric::kEuclidean, nan, p, 2)));
}

TEST(Prepare, NormalisesOnlyCosine) {
  std::vector<float> out;
  std::vector<float> v = {3, 4};
  prepare(Metric::kCosine, v, out);
  EXPECT_EQ(out, (std::vector<float>{0.6f, 0.8f}));
  prepare(Metric::kDot, v, out);
  EXPECT_EQ(out, v);
  prepare(Metric::kEuclidean, v, out);
  EXPECT_EQ(out, v);
  std::vector<float> zero = {0, 0, 0};
  prepare(Metric::kCosine, zero, out);
  EXPECT_EQ(out, zero);
  std::vector<float> with_nan = {1, std::numeric_limits<float>::quiet_NaN()};
  prepare(Metric::kCosine, with_nan, out);
  EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
}

// ---- SQ8 ----------------------------------------------------------------

TEST(Sq8, QueryCodesRoundHalfAwayFromZero) {
  struct Case {
    float q;
    int8_t code;
  } cases[] = {
      {1.0f, 127},  {-1.0f, -128}, {0.0f, 0},           {0.5f / 127.5f, 1}, {-0.5f / 127.5f, -1},
      {2.0f, 127},  {-5.0f, -128}, {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(quantize_query_element_i8(c.q), c.code) << c.q;
  std::vector<int8_t> out;
  quantize_query_i8(std::vector<float>{1.0f, -1.0f}, out);
  EXPECT_EQ(out, (std::vector<int8_t>{127, -128}));
}

TEST(Sq8, ApproximateCosineRaw) {
  EXPECT_EQ(sq8_cosine_raw(0), 1.0f);
  EXPECT_EQ(sq8_cosine_raw(20000), 0.0f);   // clamped at 1
  EXPECT_EQ(sq8_cosine_raw(-20000), 2.0f);  // clamped at -1
  EXPECT_FLOAT_EQ(sq8_cosine_raw(8128), 1.0f - 8128.0f / 16256.25f);
}

TEST(Sq8, CosineCodesIncludeDeletedNodes) {
  auto index = build(points(Metric::kCosine, 3, {{1, {-1.0f, 0.0f, 1.0f}}, {2, {0.5f, -0.25f, 0.0f}}}, {}, {2}));
  index->quantize_sq8();
  EXPECT_EQ(index->sq8_codes, (CodeColumn{1, 128, 255, 192, 96, 128}));
  EXPECT_TRUE(index->sq8_mins.empty());
  EXPECT_TRUE(index->sq8_scales.empty());
}

// Every stored code equals std::round of the clamped, scaled element, for
// rows long enough to run the vectorised loops and their tails, with
// elements on and beside half steps, out of range and NaN.
TEST(Sq8, CodesMatchLibraryRounding) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> wide(-1.2f, 1.2f);
  for (Metric metric : {Metric::kCosine, Metric::kEuclidean}) {
    const uint64_t dim = 37;
    std::vector<std::pair<uint64_t, std::vector<float>>> pts;
    for (uint64_t id = 1; id <= 40; ++id) {
      std::vector<float> v(dim);
      for (uint64_t j = 0; j < dim; ++j) {
        // Cosine halves: (k + 0.5 - 128) / 127.5 lands on a half step.
        const float half = (static_cast<float>(rng() % 256) + 0.5f - 128.0f) / 127.5f;
        v[j] = j % 5 == 0 ? half : (j % 7 == 0 ? std::nextafter(half, 2.0f) : wide(rng));
      }
      if (id == 7) v[3] = nan;
      if (id == 8) v[4] = 1e30f;
      pts.push_back({id, v});
    }
    auto index = build(points(metric, dim, pts, {}, {}));
    index->quantize_sq8();
    for (uint64_t i = 0; i < pts.size(); ++i) {
      const float* v = index->vector(i);
      for (uint64_t j = 0; j < dim; ++j) {
        const float x = metric == Metric::kCosine ? v[j] * 127.5f + 128.0f
                                                  : (v[j] - index->sq8_mins[j]) / index->sq8_scales[j];
        const uint8_t want = std::isnan(x) ? 0 : static_cast<uint8_t>(std::round(std::clamp(x, 0.0f, 255.0f)));
        ASSERT_EQ(index->sq8_codes[i * dim + j], want) << metric_name(metric) << " node " << i << " dim " << j;
      }
    }
  }
}

// Small code columns are line-aligned heap blocks; large ones are mapped on
// a huge-page boundary. Both read as zero after assign and survive growth.
TEST(Sq8, CodeColumnAlignment) {
  for (size_t bytes : {size_t{100}, size_t{4096}, detail::kMappedChunkBytes, size_t{3} << 20}) {
    CodeColumn codes;
    codes.assign(bytes, 0);
    const auto at = reinterpret_cast<uintptr_t>(codes.data());
    EXPECT_EQ(at % (bytes >= detail::kMappedChunkBytes ? detail::kHugePageBytes : 64), 0u) << bytes;
    codes.back() = 7;
    codes.push_back(9);  // reallocates across the mapping threshold for the first sizes
    EXPECT_EQ(codes[bytes - 1], 7);
    EXPECT_EQ(codes[bytes], 9);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), static_cast<std::ptrdiff_t>(bytes - 1));
  }
}

TEST(Sq8, EuclideanWithEveryNodeDeleted) {
  auto index = build(points(Metric::kEuclidean, 2, {{1, {1.0f, 2.0f}}, {2, {3.0f, -4.0f}}}, {}, {1, 2}));
  index->quantize_sq8();
  EXPECT_EQ(index->sq8_mins, (std::vector<float>{std::numeric_limits<float>::max(), std::numeric_limits<float>::max()}));
  EXPECT_EQ(index->sq8_scales, (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(index->sq8_codes, CodeColumn(4, 0));
}

TEST(Sq8, DotRangesFromLiveNodesOnly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Dimension 0: live values 0 and 255 (deleted 1000 is ignored). Dimension 1:
  // all live values equal. Dimension 2: a NaN leaves the range alone.
  auto index = build(points(Metric::kDot, 3,
                            {{10, {0.0f, 5.0f, 1.0f}}, {20, {255.0f, 5.0f, nan}}, {30, {127.5f, 5.0f, 3.0f}},
                             {40, {1000.0f, -7.0f, 2.5f}}},
                            {}, {40}));
  index->quantize_sq8();
  EXPECT_EQ(index->sq8_mins, (std::vector<float>{0.0f, 5.0f, 1.0f}));
  EXPECT_EQ(index->sq8_scales, (std::vector<float>{1.0f, 1.0f, 2.0f / 255.0f}));
  EXPECT_EQ(index->sq8_codes, (CodeColumn{
                                  0, 0, 0,        // node 10
                                  255, 0, 0,      // node 20 (NaN -> 0)
                                  128, 0, 255,    // node 30 (127.5 rounds up)
                                  255, 0, 191,    // node 40, deleted: clamped
                              }));
}

TEST(Sq8, EmptyIndexBuildsNothing) {
  auto index = build(points(Metric::kCosine, 4, {}));
  index->quantize_sq8();
  EXPECT_TRUE(index->sq8_codes.empty());
}

// ---- Deletion and entry -------------------------------------------------

TEST(MarkDeleted, CountsOnceAndMovesTheEntry) {
  // Levels: ids 1..5 -> 2, 0, 2, 1, 2.
  auto s = points(Metric::kEuclidean, 1, {{1, {1}}, {2, {2}}, {3, {3}}, {4, {4}}, {5, {5}}},
                  {{1, 2}, {2, 0}, {3, 2}, {4, 1}, {5, 2}});
  s.entry_point = 5;
  s.max_level = 2;
  auto index = build(std::move(s));
  EXPECT_EQ(index->entry.load(), pack_entry(2, 4));

  index->mark_deleted(999);  // unknown: nothing happens
  EXPECT_EQ(index->deleted_count.load(), 0u);

  index->mark_deleted(5);
  index->mark_deleted(5);
  EXPECT_EQ(index->deleted_count.load(), 1u);
  EXPECT_EQ(index->state(4), NodeState::kDeleted);
  // Ids 1 and 3 share the top level: the later index wins.
  EXPECT_EQ(index->entry.load(), pack_entry(2, 2));
  EXPECT_EQ(index->live_vector(4), nullptr);
  EXPECT_EQ(index->vector_of(5), nullptr);
  EXPECT_NE(index->vector_of(4), nullptr);
  EXPECT_TRUE(index->contains(5));

  index->mark_deleted(2);  // not the entry: entry unchanged
  EXPECT_EQ(index->entry.load(), pack_entry(2, 2));
  index->mark_deleted(3);
  EXPECT_EQ(index->entry.load(), pack_entry(2, 0));
  index->mark_deleted(1);
  EXPECT_EQ(index->entry.load(), pack_entry(1, 3));
  index->mark_deleted(4);
  EXPECT_EQ(index->entry.load(), kNoEntry);
  EXPECT_EQ(index->deleted_count.load(), 5u);
  EXPECT_FALSE(index->best_entry_candidate().has_value());
}

TEST(Storage, ReadsOfARestoredIndex) {
  auto index = build(points(Metric::kDot, 2, {{7, {1, 2}}, {3, {3, 4}}}));
  EXPECT_EQ(index->len(), 2u);
  EXPECT_EQ(index->index_of(3), 0u);
  EXPECT_EQ(index->index_of(7), 1u);
  EXPECT_FALSE(index->index_of(4).has_value());
  EXPECT_EQ(index->vector_of(7)[1], 2.0f);
  EXPECT_EQ(index->live_vector(2), nullptr);
  EXPECT_EQ(index->point_id(1), 7u);
  EXPECT_EQ(index->state(0), NodeState::kLinked);
}

// ---- Constructor --------------------------------------------------------

struct EnvCase {
  const char* scale;
  const char* mult;
  const char* cap;
  const char* max_level;
  uint64_t requested_cap;
  double want_scale_times_ln_m;  // level_scale * ln(m), or 0 for an absolute value
  double want_abs_scale;
  uint64_t want_cap;
};

class ConstructorEnv : public ::testing::TestWithParam<EnvCase> {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* n : kNames) unsetenv(n);
  }
  static void put(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
  }
  static constexpr const char* kNames[] = {"VECTORDB_LEVEL_SCALE", "VECTORDB_LEVEL_SCALE_MULT",
                                           "VECTORDB_MAX_LEVEL_CAP", "VECTORDB_MAX_LEVEL"};
};

TEST_P(ConstructorEnv, LevelScaleAndCap) {
  const EnvCase& c = GetParam();
  put("VECTORDB_LEVEL_SCALE", c.scale);
  put("VECTORDB_LEVEL_SCALE_MULT", c.mult);
  put("VECTORDB_MAX_LEVEL_CAP", c.cap);
  put("VECTORDB_MAX_LEVEL", c.max_level);
  Graph index(Metric::kCosine, 16, 64, c.requested_cap, 8);
  if (c.want_abs_scale != 0) {
    EXPECT_DOUBLE_EQ(index.level_scale, c.want_abs_scale);
  } else {
    EXPECT_DOUBLE_EQ(index.level_scale * std::log(16.0), c.want_scale_times_ln_m);
  }
  EXPECT_EQ(index.level_cap, c.want_cap);
  EXPECT_EQ(index.layer_count(), c.want_cap + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstructorEnv,
    ::testing::Values(EnvCase{nullptr, nullptr, nullptr, nullptr, 16, 1.0, 0, 16},
                      EnvCase{"0.5", "2", nullptr, nullptr, 16, 0, 0.5, 16},
                      EnvCase{"-1", "2", nullptr, nullptr, 16, 2.0, 0, 16},
                      EnvCase{"0", "1_5e-1", nullptr, nullptr, 16, 1.5, 0, 16},
                      EnvCase{"inf", "nan", nullptr, nullptr, 16, 1.0, 0, 16},
                      EnvCase{" 0.5", nullptr, nullptr, nullptr, 16, 1.0, 0, 16},
                      EnvCase{"2_5e-1", nullptr, nullptr, nullptr, 16, 0, 2.5, 16},
                      EnvCase{nullptr, nullptr, "0", "5", 16, 1.0, 0, 5},
                      EnvCase{nullptr, nullptr, "+7", "5", 16, 1.0, 0, 7},
                      EnvCase{nullptr, nullptr, "300", nullptr, 16, 1.0, 0, 255},
                      EnvCase{nullptr, nullptr, "-3", "x", 12, 1.0, 0, 12},
                      EnvCase{nullptr, nullptr, "1_2", nullptr, 3, 1.0, 0, 12},
                      EnvCase{nullptr, nullptr, "99999999999999999999", "0", 4, 1.0, 0, 4},
                      EnvCase{nullptr, nullptr, nullptr, nullptr, 1000, 1.0, 0, 255}));

TEST(Constructor, NewIndexDefaults) {
  Graph index(Metric::kDot, 8, 50, 4, 3);
  EXPECT_EQ(index.m0, 16u);
  EXPECT_EQ(index.m0_cap, 16u);
  EXPECT_EQ(index.ef_search, 50u);
  EXPECT_EQ(index.ef_construction, 50u);
  EXPECT_EQ(index.entry.load(), 0x00000000FFFFFFFFull);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_FALSE(index.best_entry_candidate().has_value());
}

// The public surface: parameters, inserts, export and restore, freezing.
TEST(HnswIndexTest, InsertSearchExportRestoreAndFreeze) {
  HnswIndex index(Metric::kEuclidean, 8, 32, 4, 2);
  EXPECT_EQ(index.dim(), 2u);
  EXPECT_EQ(index.metric(), Metric::kEuclidean);
  for (uint64_t i = 0; i < 50; ++i) {
    ASSERT_TRUE(index.insert(i, std::vector<float>{float(i), float(i % 7)}).ok());
  }
  EXPECT_TRUE(index.insert(3, std::vector<float>{0, 0}).ok());  // a known id: nothing happens
  EXPECT_EQ(index.len(), 50u);
  EXPECT_EQ(index.insert(99, std::vector<float>{0}).error().kind(), ErrorKind::kVectorLengthMismatch);
  index.mark_deleted(10);
  EXPECT_EQ(index.deleted_count(), 1u);
  EXPECT_EQ(index.vector_of(10), nullptr);
  ASSERT_NE(index.vector_of(11), nullptr);

  std::vector<ScoredNode> before, after;
  ASSERT_TRUE(index.search(std::vector<float>{10.2f, 3.0f}, 5, {}, before).ok());
  auto restored = restore(export_snapshot(index));
  ASSERT_TRUE(restored.ok());
  (*restored)->freeze();
  EXPECT_TRUE((*restored)->frozen());
  EXPECT_FALSE((*restored)->insert(1000, std::vector<float>{1, 1}).ok());
  ASSERT_TRUE((*restored)->search(std::vector<float>{10.2f, 3.0f}, 5, {}, after).ok());
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].node, before[i].node);
    EXPECT_NE(after[i].node, 10u);  // deleted before the export
  }
}

TEST(Constructor, ZeroDimensionsIsAnInvariantFailure) {
  EXPECT_THROW(Graph(Metric::kCosine, 16, 64, 16, 0), std::logic_error);
}

}  // namespace
}  // namespace ulmora::hnsw
