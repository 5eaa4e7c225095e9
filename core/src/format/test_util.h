// Fixtures shared by the format tests: random segments and deep comparison.
#pragma once

#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "format/sample_payload.h"
#include "format/snapshot.h"

namespace ulmora::testing {

// A segment with `n` points of dimension `dim`: a two-level graph, payloads
// of every value kind on some points (indexed), a few deleted points.
inline SegmentSnapshot RandomSegment(uint64_t n, uint64_t dim, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  SegmentSnapshot s;
  HnswSnapshot& h = s.hnsw;
  h.dim = dim;
  h.m = 4;
  h.m0 = 8;
  h.m0_cap = 8;
  h.metric = Metric::kEuclidean;
  h.level_scale = 0.72;
  h.max_level = 1;
  std::vector<float> v(dim);
  U64ListMap level0, level1;
  for (uint64_t id = 0; id < n; ++id) {
    for (auto& x : v) x = unit(rng);
    h.vectors.append(id * 3 + 1, v);
    std::vector<uint64_t> nb;
    for (int k = 0; k < 4 && n > 1; ++k) nb.push_back((rng() % n) * 3 + 1);
    level0.append(id * 3 + 1, nb);
    const bool upper = id % 5 == 0;
    if (upper) level1.append(id * 3 + 1, std::span<const uint64_t>(nb.data(), nb.size() / 2));
    h.levels.emplace_back(id * 3 + 1, upper ? 1 : 0);
  }
  h.layers.emplace_back(0, std::move(level0));
  h.layers.emplace_back(1, std::move(level1));
  if (n > 0) h.entry_point = 1;
  if (n > 3) h.deleted = {4, 7};
  for (uint64_t id = 0; id < n; id += 2) {
    Payload p = every_kind_payload(id);
    index_payload(s.payload_index, id * 3 + 1, p);
    put_payload(s.payloads, id * 3 + 1, std::move(p));
  }
  if (n > 3) s.deleted = {4, 7, 9};
  s.next_id = n * 3 + 1;
  return s;
}

template <class M>
inline void ExpectSameListMap(const M& a, const M& b) {
  ASSERT_EQ(a.keys, b.keys);
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = a.at(i), y = b.at(i);
    ASSERT_EQ(x.size(), y.size()) << "entry " << i;
    if (!x.empty()) {
      EXPECT_EQ(0, std::memcmp(x.data(), y.data(), x.size_bytes())) << "entry " << i;
    }
  }
}

inline void ExpectSameSegment(const SegmentSnapshot& a, const SegmentSnapshot& b) {
  const HnswSnapshot &x = a.hnsw, &y = b.hnsw;
  ASSERT_EQ(x.layers.size(), y.layers.size());
  for (size_t i = 0; i < x.layers.size(); ++i) {
    EXPECT_EQ(x.layers[i].first, y.layers[i].first);
    ExpectSameListMap(x.layers[i].second, y.layers[i].second);
  }
  ExpectSameListMap(x.vectors, y.vectors);
  EXPECT_EQ(x.levels, y.levels);
  EXPECT_EQ(x.entry_point, y.entry_point);
  EXPECT_EQ(x.metric, y.metric);
  EXPECT_EQ(x.m, y.m);
  EXPECT_EQ(x.m0, y.m0);
  EXPECT_EQ(x.m0_cap, y.m0_cap);
  EXPECT_EQ(x.ef_search, y.ef_search);
  EXPECT_EQ(x.ef_construction, y.ef_construction);
  EXPECT_EQ(x.level_cap, y.level_cap);
  EXPECT_EQ(x.level_scale, y.level_scale);
  EXPECT_EQ(x.max_level, y.max_level);
  EXPECT_EQ(x.dim, y.dim);
  EXPECT_EQ(x.deleted, y.deleted);
  EXPECT_EQ(x.exact_fallback_enabled, y.exact_fallback_enabled);
  EXPECT_EQ(x.exact_fallback_threshold, y.exact_fallback_threshold);
  EXPECT_TRUE(a.payload_index == b.payload_index);
  EXPECT_TRUE(a.payloads == b.payloads);
  EXPECT_EQ(a.deleted, b.deleted);
  EXPECT_EQ(a.next_id, b.next_id);
}

// Body decode of a whole file (trailer step included).
inline Result<SegmentSnapshot> DecodeFile(const std::vector<uint8_t>& file) {
  auto body = snapshot_body(file);
  if (!body.ok()) return body.error();
  return decode_snapshot_body(body.value());
}

inline std::string DecodeError(const std::vector<uint8_t>& file) {
  auto r = DecodeFile(file);
  return r.ok() ? std::string("<ok>") : r.error().message();
}

}  // namespace ulmora::testing
