// Re-inserting ids deleted since the last compaction, and upserts: the
// compaction they run first, what they refuse (writing nothing), and the
// files loading to the state acknowledged, with no insert of a known id in
// the log (a replay would drop it).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/file.h"
#include "format/wal_record.h"
#include "segment/builder.h"
#include "segment/live.h"
#include "segment/live_test_util.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"

namespace ulmora {
namespace {

using namespace testing_util;

constexpr uint64_t kDim = 4;

// 30 points, ids 0..29, each with payload {"n": id}.
std::string build_thirty(const TempDir& dir) {
  const std::string path = dir.file("seg.snap");
  std::vector<float> rows = random_rows(30, kDim, 21);
  std::vector<std::optional<Payload>> payloads;
  for (int64_t i = 0; i < 30; ++i) payloads.push_back(payload_of({{"n", int_value(i)}}));
  EXPECT_TRUE(build_file(path, small_request(rows.data(), 30, kDim, &payloads)).ok());
  return path;
}

// `rows` new points for `ids`, tagged {"v": tag}; applied to `expected` too.
struct Batch {
  std::vector<uint64_t> ids;
  std::vector<float> rows;
  std::vector<std::optional<Payload>> payloads;
  Batch(std::vector<uint64_t> i, uint32_t seed, int64_t tag, State* expected = nullptr)
      : ids(std::move(i)), rows(random_rows(ids.size(), kDim, seed)) {
    for (size_t r = 0; r < ids.size(); ++r) {
      payloads.push_back(payload_of({{"v", int_value(tag)}}));
      if (expected) {
        expected->points[ids[r]] = {std::vector<float>(rows.begin() + r * kDim, rows.begin() + (r + 1) * kDim),
                                    payloads.back()};
        if (ids[r] + 1 > expected->next_id) expected->next_id = ids[r] + 1;
      }
    }
  }
  LiveSegment::InsertBatch batch() { return {rows.data(), ids.size(), kDim, ids, &payloads, 2}; }
};

TEST(LiveReinsert, DeletedIdsComeBackAfterOneCompaction) {
  TempDir dir;
  const std::string path = build_thirty(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  ASSERT_TRUE(live->remove(std::vector<uint64_t>{3, 5, 7}).ok());
  State expected = live_state(*live);
  Batch again({5, 40, 3}, 2, 1, &expected);
  auto b = again.batch();
  auto ids = live->insert(b);
  ASSERT_TRUE(ids.ok()) << ids.error().message();
  EXPECT_EQ(*ids, again.ids);
  EXPECT_EQ(live_state(*live), expected);
  // The compaction purged the deleted points; the log holds the inserts only.
  EXPECT_TRUE(live->read().segment()->deleted().empty());
  EXPECT_EQ(live->read().segment()->hnsw().len(), 30u);
  live.reset();
  EXPECT_EQ(loaded_state(path), expected);
  auto reopened = open_live(path);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live_state(*reopened), expected);
}

TEST(LiveReinsert, RefusedBatchesNeitherCompactNorWrite) {
  TempDir dir;
  const std::string path = build_thirty(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  ASSERT_TRUE(live->remove(std::vector<uint64_t>{3}).ok());
  const auto snapshot = read_bytes(path);
  const auto log = read_bytes(wal_path_for(path));
  Batch taken({3, 4}, 3, 1);  // 3 deleted, 4 live
  auto b = taken.batch();
  auto r = live->insert(b);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Point with ID 4 already exists");
  Batch twice({3, 50, 3}, 4, 1);
  b = twice.batch();
  EXPECT_EQ(live->upsert(b).error().kind(), ErrorKind::kInvalidPayload);  // duplicate id
  std::vector<float> rows = random_rows(2, kDim, 5);
  LiveSegment::InsertBatch unnamed{rows.data(), 2, kDim, {}, nullptr, 1};
  EXPECT_EQ(live->upsert(unnamed).error().kind(), ErrorKind::kInvalidPayload);
  Batch bad({3, 4}, 6, 1);
  bad.rows[1] = NAN;
  b = bad.batch();
  EXPECT_EQ(live->upsert(b).error().kind(), ErrorKind::kInvalidPayload);
  EXPECT_EQ(read_bytes(path), snapshot);
  EXPECT_EQ(read_bytes(wal_path_for(path)), log);
  EXPECT_EQ(live->read().segment()->deleted().size(), 1u);
}

TEST(LiveUpsert, ReplacesLiveDeletedAndNewIdsAcrossReopen) {
  TempDir dir;
  const std::string path = build_thirty(dir);
  State expected;
  {
    auto live = open_live(path);
    ASSERT_TRUE(live);
    ASSERT_TRUE(live->remove(std::vector<uint64_t>{9}).ok());
    expected = live_state(*live);
    Batch mixed({2, 9, 77, 11}, 7, 2, &expected);  // live, deleted, new, live
    auto b = mixed.batch();
    auto ids = live->upsert(b);
    ASSERT_TRUE(ids.ok()) << ids.error().message();
    EXPECT_EQ(*ids, mixed.ids);
    EXPECT_EQ(live_state(*live), expected);
    EXPECT_EQ(live->read().segment()->hnsw().len(), 31u);  // replaced points purged
    // New ids only: no delete, no compaction.
    Batch fresh({80, 81}, 8, 3, &expected);
    b = fresh.batch();
    ASSERT_TRUE(live->upsert(b).ok());
    EXPECT_EQ(live_state(*live), expected);
  }
  EXPECT_EQ(loaded_state(path), expected);
  auto reopened = open_live(path);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live_state(*reopened), expected);
}

// Fails the n-th file operation of an upsert that replaces, re-inserts and
// adds ids, for every n: memory and files each hold the state before the
// call, the replaced points deleted (the delete logged, the insert not), or
// the state after it.
TEST(LiveUpsert, AFailureAtAnyFileOperationLeavesAWholeStep) {
  uint64_t ops = 0;
  for (uint64_t n = 1; !ops; ++n) {
    TempDir dir;
    const std::string path = build_thirty(dir);
    auto live = open_live(path);
    ASSERT_TRUE(live);
    ASSERT_TRUE(live->remove(std::vector<uint64_t>{3}).ok());
    const State before = live_state(*live);
    State replaced = before;
    replaced.points.erase(2);
    State after = before;
    Batch upsert({2, 3, 40}, 9, 5, &after);
    uint64_t seen = 0;
    file::set_fault_hook([&](file::Op, const std::string&, uint64_t) {
      return ++seen == n ? file::Fault{file::Fault::kFail, EIO} : file::Fault{};
    });
    auto b = upsert.batch();
    auto r = live->upsert(b);
    file::set_fault_hook({});
    if (seen < n) {  // every operation ran
      ASSERT_TRUE(r.ok()) << r.error().message();
      ops = seen;
    }
    // A failed log flush leaves its records in the file, unacknowledged, so
    // memory and files may stand one step apart.
    auto whole_step = [&](const State& s) { return s == before || s == replaced || s == after; };
    const State now = live_state(*live);
    EXPECT_TRUE(whole_step(now)) << "fault at op " << n;
    if (r.ok()) {
      EXPECT_EQ(now, after);
    }
    live.reset();
    const State loaded = loaded_state(path);
    EXPECT_TRUE(whole_step(loaded)) << "fault at op " << n;
    if (r.ok()) {
      EXPECT_EQ(loaded, after);
    }
  }
  EXPECT_GE(ops, 10u);
}

// Deletes and re-inserts of the same ids while another thread compacts:
// each re-insert either waits for the running compaction and finds its ids
// purged, or compacts itself; the files end at the acknowledged state.
TEST(LiveReinsert, BesideCompactions) {
  TempDir dir;
  const std::string path = build_thirty(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  std::atomic<bool> done{false};
  std::thread compactor([&] {
    while (!done) EXPECT_TRUE(live->compact(1).ok());
  });
  State expected = live_state(*live);
  for (uint32_t round = 0; round < 12; ++round) {
    const std::vector<uint64_t> ids = {round % 5, 10 + round % 3};
    ASSERT_TRUE(live->remove(ids).ok());
    Batch again(ids, 100 + round, round, &expected);
    auto b = again.batch();
    auto r = live->insert(b);
    ASSERT_TRUE(r.ok()) << r.error().message();
  }
  done = true;
  compactor.join();
  EXPECT_EQ(live_state(*live), expected);
  live.reset();
  EXPECT_EQ(loaded_state(path), expected);
}

}  // namespace
}  // namespace ulmora
