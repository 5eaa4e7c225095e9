#include "vector/hnsw/arena.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <unordered_map>

#include "vector/hnsw/id_map.h"
#include "vector/hnsw/lists.h"

namespace ulmora::hnsw {
namespace {

TEST(HnswArena, SecondChunkStartsAtIndex4096) {
  HnswArena<uint64_t> col;
  for (uint64_t i = 0; i < 4096; ++i) ASSERT_EQ(col.push(i * 3), i);
  EXPECT_FALSE(col.has_chunk(4096));
  EXPECT_EQ(col.push(77), 4096u);
  EXPECT_TRUE(col.has_chunk(4096));
  EXPECT_EQ(col.len(), 4097u);
  EXPECT_EQ(col.get(4095), 4095u * 3);
  EXPECT_EQ(col.get(4096), 77u);
  // Past len() but inside an allocated chunk: zero.
  EXPECT_EQ(col.get(4097), 0u);
  EXPECT_EQ(col.get(8191), 0u);
  EXPECT_FALSE(col.has_chunk(8192));
}

TEST(HnswArena, BulkAppendMatchesPushes) {
  HnswArena<uint8_t> col;
  col.push(9);
  EXPECT_EQ(col.append_n(10000, [](uint64_t k) { return static_cast<uint8_t>(k % 251); }), 1u);
  ASSERT_EQ(col.len(), 10001u);
  EXPECT_EQ(col.get(0), 9);
  for (uint64_t i = 1; i < 10001; ++i) ASSERT_EQ(col.get(i), (i - 1) % 251) << i;
  col.set(5000, 200);
  EXPECT_EQ(col.get(5000), 200);
}

TEST(HnswArena, MappedChunksAreHugePageAlignedZeroedAndReleased) {
  // Sizes below, at and above one huge page; each block must be fully
  // usable from the aligned start (ASan would flag a trimmed tail).
  for (size_t bytes : {detail::kMappedChunkBytes, detail::kHugePageBytes, size_t{5} << 20}) {
    auto* p = static_cast<unsigned char*>(detail::alloc_zeroed(bytes));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % detail::kHugePageBytes, 0u) << bytes;
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[bytes - 1], 0);
    p[0] = p[bytes - 1] = 1;
    detail::free_zeroed(p, bytes);
  }
}

TEST(VectorArena, SlotsAcrossChunks) {
  VectorArena col(3);
  EXPECT_EQ(col.chunk_slots(), 4096u);
  for (uint64_t i = 0; i < 4097; ++i) {
    float v[3] = {float(i), float(i) + 0.5f, -float(i)};
    ASSERT_EQ(col.push(v), i);
  }
  const float* last = col.get(4096);
  EXPECT_EQ(last[0], 4096.0f);
  EXPECT_EQ(last[1], 4096.5f);
  EXPECT_EQ(last[2], -4096.0f);
  const float* past = col.get(4097);
  EXPECT_EQ(past[0], 0.0f);
  EXPECT_EQ(past[2], 0.0f);
  EXPECT_EQ(col.get(1)[1], 1.5f);
}

TEST(VectorArena, WideVectorsUseSmallerChunks) {
  // One chunk of 4096 vectors this wide would be 160 MiB.
  const uint64_t dim = 10000;
  VectorArena col(dim);
  EXPECT_LT(col.chunk_slots(), 4096u);
  EXPECT_LE(col.chunk_slots() * dim * sizeof(float), size_t{64} << 20);
  std::vector<float> v(dim);
  const uint64_t n = col.chunk_slots() + 2;
  col.append_n(n, [&](uint64_t k) {
    v.assign(dim, float(k));
    v[dim - 1] = -float(k);
    return v.data();
  });
  for (uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(col.get(i)[0], float(i));
    ASSERT_EQ(col.get(i)[dim - 1], -float(i));
  }
}

TEST(ListColumn, AssignCopyModifyAndEmptySlots) {
  NeighborLayer layer;
  layer.grow_to(5000);
  EXPECT_EQ(layer.len(), 5000u);
  EXPECT_FALSE(layer.maybe_nonempty(4999));
  EXPECT_TRUE(layer.copy(4999).empty());
  std::vector<uint32_t> a = {4999, 1, 2};
  layer.assign(4999, a);
  EXPECT_EQ(layer.copy(4999), a);
  EXPECT_EQ(layer.size(4999), 3u);
  // Slot past len() inside the allocated chunk reads as empty.
  EXPECT_TRUE(layer.copy(5001).empty());
  layer.modify(4999, [](std::vector<uint32_t>& l) { l.push_back(7); l.push_back(8); l.push_back(9); });
  EXPECT_EQ(layer.copy(4999), (std::vector<uint32_t>{4999, 1, 2, 7, 8, 9}));
  layer.assign(4999, {});
  EXPECT_TRUE(layer.copy(4999).empty());
  EXPECT_EQ(layer.push_empty(), 5000u);
}

TEST(ListColumn, PackedListsGrowOutOfTheirSlab) {
  ScoreColumn col;
  const uint64_t n = 20000;  // several slabs
  col.grow_to(n);
  for (uint64_t i = 0; i < n; ++i) {
    std::vector<float> l(i % 40, float(i));
    col.assign_packed(i, l);
  }
  // A list bigger than a quarter slab gets its own block.
  std::vector<float> big(70000, 1.5f);
  col.assign_packed(3, big);
  EXPECT_EQ(col.copy(3), big);
  for (uint64_t i = 0; i < n; i += 997) {
    if (i == 3) continue;
    auto l = col.copy(i);
    ASSERT_EQ(l.size(), i % 40);
    for (float x : l) ASSERT_EQ(x, float(i));
  }
  // Growing a packed list moves it; shrinking reuses it.
  col.modify(41, [](std::vector<float>& l) { l.resize(100, 2.0f); });
  EXPECT_EQ(col.size(41), 100u);
  EXPECT_EQ(col.copy(41)[0], 41.0f);
  EXPECT_EQ(col.copy(41)[99], 2.0f);
  col.assign(42, std::vector<float>{1.0f});
  EXPECT_EQ(col.copy(42), std::vector<float>{1.0f});
  EXPECT_EQ(col.copy(43).size(), 3u);
}

// Fixed rows keep every list (heap, slab and empty ones) as it was, for
// locked and in-place reads alike; a column whose longest list would make
// the rows waste more than they replace stays as it is.
TEST(ListColumn, PackFixedKeepsEveryList) {
  for (bool one_long : {false, true}) {
    NeighborLayer layer;
    const uint64_t n = 9000;  // three slot chunks
    layer.grow_to(n);
    std::vector<std::vector<uint32_t>> want(n);
    for (uint64_t i = 0; i < n; ++i) {
      if (i % 7 == 0) continue;  // never stored
      want[i].assign(20 + i % 13, static_cast<uint32_t>(i));
      if (i % 2) layer.assign_packed(i, want[i]);
      else layer.assign(i, want[i]);
    }
    if (one_long) {
      want[5].assign(5000, 5u);
      layer.assign(5, want[5]);
    }
    EXPECT_EQ(layer.pack_fixed(), !one_long);
    EXPECT_EQ(layer.packed_fixed(), !one_long);
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(layer.copy(i), want[i]) << i;
      auto view = layer.view_unlocked(i);
      ASSERT_EQ(std::vector<uint32_t>(view.begin(), view.end()), want[i]) << i;
    }
    EXPECT_TRUE(layer.view_unlocked(n + 10).empty());
  }
}

// A column where few nodes hold a list (an upper level) gets rows by rank:
// lists before and after a word boundary, at the last node, empty stored
// lists and never stored ones all read as before; release_lists empties all.
TEST(ListColumn, SparseRowsAndRelease) {
  NeighborLayer layer;
  const uint64_t n = 10000;
  layer.grow_to(n);
  std::vector<std::vector<uint32_t>> want(n);
  for (uint64_t i : {0ull, 63ull, 64ull, 127ull, 4095ull, 4096ull, 5000ull, 9999ull}) {
    want[i].assign(1 + i % 17, static_cast<uint32_t>(i));
    layer.assign_packed(i, want[i]);
  }
  layer.assign(7, std::vector<uint32_t>{1, 2});
  layer.assign(7, std::vector<uint32_t>{});  // stored, then emptied
  want[200] = {200, 201, 202};
  layer.assign(200, want[200]);  // a heap block among slab ones
  ASSERT_TRUE(layer.pack_fixed());
  for (uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(layer.copy(i), want[i]) << i;
    auto view = layer.view_unlocked(i);
    ASSERT_EQ(std::vector<uint32_t>(view.begin(), view.end()), want[i]) << i;
    if (!want[i].empty()) {
      ASSERT_TRUE(layer.maybe_nonempty(i)) << i;
    }
  }
  EXPECT_FALSE(layer.maybe_nonempty(1));
  EXPECT_TRUE(layer.view_unlocked(n).empty());
  EXPECT_TRUE(layer.view_unlocked(n + 100).empty());

  ScoreColumn scores;
  scores.grow_to(n);
  for (uint64_t i = 0; i < n; i += 3) scores.assign_packed(i, std::vector<float>{1.0f, 2.0f});
  scores.assign(1, std::vector<float>(100, 3.0f));
  scores.release_lists();
  EXPECT_EQ(scores.len(), n);
  EXPECT_EQ(scores.size(0), 0u);
  EXPECT_EQ(scores.size(1), 0u);
  EXPECT_FALSE(scores.pack_fixed());  // nothing left to lay out
}

TEST(ListColumn, ConcurrentReadersSeeWholeLists) {
  NeighborLayer layer;
  layer.grow_to(64);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bad{0};
  auto reader = [&] {
    while (!stop.load()) {
      for (uint64_t node = 0; node < 64; ++node) {
        layer.read(node, [&](const uint32_t* items, size_t n) {
          // Every stored list is {node, k, k, ...}: all entries after the
          // first equal its length.
          if (n > 0 && items[0] != node) bad.fetch_add(1);
          for (size_t j = 1; j < n; ++j)
            if (items[j] != n) bad.fetch_add(1);
        });
      }
    }
  };
  std::thread r1(reader), r2(reader);
  for (uint32_t round = 0; round < 2000; ++round) {
    uint64_t node = round % 64;
    uint32_t len = 1 + round % 37;
    std::vector<uint32_t> l(len, len);
    l[0] = static_cast<uint32_t>(node);
    if (round % 3 == 0) {
      layer.assign(node, l);
    } else if (round % 3 == 1) {
      layer.assign_packed(node, l);
    } else {
      layer.modify(node, [&](std::vector<uint32_t>& cur) { cur = l; });
    }
  }
  stop.store(true);
  r1.join();
  r2.join();
  EXPECT_EQ(bad.load(), 0u);
}

TEST(HnswArena, ConcurrentAppendsAndReads) {
  HnswArena<uint64_t> col;
  VectorArena vecs(4);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> bad{0};
  std::thread reader([&] {
    while (!done.load()) {
      uint64_t n = std::min(col.len(), vecs.len());
      for (uint64_t i = n > 100 ? n - 100 : 0; i < n; ++i) {
        if (col.get(i) != i * 7) bad.fetch_add(1);
        if (vecs.get(i)[3] != float(i)) bad.fetch_add(1);
      }
    }
  });
  for (uint64_t i = 0; i < 3 * kChunkCapacity; ++i) {
    float v[4] = {0, 1, 2, float(i)};
    vecs.push(v);
    col.push(i * 7);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(bad.load(), 0u);
}

TEST(IdMap, FindInsertGrow) {
  IdMap map;
  EXPECT_FALSE(map.find(0).has_value());
  std::mt19937_64 rng(7);
  std::unordered_map<uint64_t, uint64_t> truth;
  truth[0] = 0;
  truth[UINT64_MAX] = 1;
  while (truth.size() < 50000) truth.emplace(rng(), truth.size());
  for (auto [id, idx] : truth) ASSERT_TRUE(map.insert(id, idx));
  EXPECT_EQ(map.size(), truth.size());
  EXPECT_FALSE(map.insert(UINT64_MAX, 99));
  EXPECT_EQ(map.find(UINT64_MAX), 1u);
  for (auto [id, idx] : truth) ASSERT_EQ(map.find(id), idx);
  for (int k = 0; k < 1000; ++k) {
    uint64_t id = rng();
    if (!truth.count(id)) {
      ASSERT_FALSE(map.find(id).has_value());
    }
  }
}

// Contiguous ids drop the slots and still answer every find; an insert
// afterwards brings them back. Ids that are not first + index stay hashed.
TEST(IdMap, CompactIfContiguous) {
  IdMap map;
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE(map.insert(500 + i, i));
  map.compact_if_contiguous();
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_EQ(map.find(500 + i), i);
  EXPECT_FALSE(map.find(499).has_value());
  EXPECT_FALSE(map.find(3500).has_value());
  EXPECT_FALSE(map.find(0).has_value());
  EXPECT_FALSE(map.insert(600, 7));
  EXPECT_TRUE(map.insert(10, 3000));
  EXPECT_EQ(map.find(10), 3000u);
  EXPECT_EQ(map.find(2999 + 500), 2999u);
  EXPECT_EQ(map.size(), 3001u);

  IdMap assigned;  // as a restore of contiguous ids sets it
  assigned.assign_contiguous(40, 10);
  EXPECT_EQ(assigned.find(49), 9u);
  EXPECT_FALSE(assigned.find(50).has_value());
  EXPECT_TRUE(assigned.insert(50, 10));
  EXPECT_EQ(assigned.find(40), 0u);
  EXPECT_EQ(assigned.find(50), 10u);

  for (bool gap : {false, true}) {
    IdMap other;
    for (uint64_t i = 0; i < 100; ++i) ASSERT_TRUE(other.insert(i == 50 && gap ? 1000 : i, i == 50 && !gap ? 51 : i));
    other.compact_if_contiguous();  // neither map is contiguous: kept as is
    EXPECT_EQ(other.find(gap ? 1000 : 50), gap ? 50u : 51u);
    EXPECT_FALSE(other.find(gap ? 50 : 1000).has_value());
  }
}

TEST(IdMap, ReserveThenSequentialIds) {
  IdMap map;
  map.reserve(10000);
  for (uint64_t i = 0; i < 10000; ++i) ASSERT_TRUE(map.insert(i, i));
  for (uint64_t i = 0; i < 10000; ++i) ASSERT_EQ(map.find(i), i);
  EXPECT_FALSE(map.find(10000).has_value());
}

}  // namespace
}  // namespace ulmora::hnsw
