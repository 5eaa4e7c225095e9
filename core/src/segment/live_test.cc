// Tests of the builder, the live segment and compaction: state after
// reopening, refused batches writing nothing, the writer lock, and a failure
// at every file operation of a compaction leaving files that load to the
// acknowledged state.
#include "segment/live.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <random>

#include "segment/builder.h"
#include "segment/compaction.h"
#include "segment/live_test_util.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"
#include "vector/hnsw/search.h"

namespace ulmora {
namespace {

using namespace testing_util;

constexpr uint64_t kDim = 4;

// A built segment of 40 points (ids 100..139, even ones with a payload).
std::string build_small(const TempDir& dir) {
  const std::string path = dir.file("seg.snap");
  std::vector<float> rows = random_rows(40, kDim, 1);
  std::vector<uint64_t> ids;
  std::vector<std::optional<Payload>> payloads;
  for (uint64_t i = 0; i < 40; ++i) {
    ids.push_back(100 + i);
    if (i % 2 == 0) payloads.push_back(payload_of({{"n", int_value(static_cast<int64_t>(i))}}));
    else payloads.push_back(std::nullopt);
  }
  BuildRequest request;
  request.vectors = rows.data();
  request.rows = 40;
  request.dim = kDim;
  request.ids = ids;
  request.payloads = &payloads;
  request.metric = Metric::kEuclidean;
  request.m = 8;
  request.ef_construction = 32;
  request.threads = 2;
  bool busy = false;
  auto built = build_segment(path, request, nullptr, &busy);
  EXPECT_TRUE(built.ok()) << built.error().message();
  return path;
}

TEST(Builder, PayloadsIdsAndNextIdLoadBack) {
  TempDir dir;
  const std::string path = build_small(dir);
  auto seg = Segment::load(path);
  ASSERT_TRUE(seg.ok());
  EXPECT_EQ((*seg)->next_id(), 140u);
  EXPECT_EQ((*seg)->payloads().size(), 20u);
  EXPECT_EQ((*seg)->payload_index().at("n").size(), 20u);
  EXPECT_EQ((*seg)->wal(), nullptr);
}

TEST(Builder, RefusesBadInputAndCancelLeavesNoFile) {
  TempDir dir;
  const std::string path = dir.file("seg.snap");
  std::vector<float> rows = random_rows(10, kDim, 2);
  std::vector<uint64_t> dup_ids = {1, 2, 3, 4, 5, 6, 7, 8, 9, 1};
  BuildRequest request;
  request.vectors = rows.data();
  request.rows = 10;
  request.dim = kDim;
  bool busy = false;
  request.ids = dup_ids;
  auto r = build_segment(path, request, nullptr, &busy);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "duplicate id 1");
  request.ids = {};
  rows[7] = std::numeric_limits<float>::infinity();
  r = build_segment(path, request, nullptr, &busy);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "non-finite value at row 1, column 3");
  rows[7] = 0;
  Progress progress;
  progress.cancel = true;
  r = build_segment(path, request, &progress, &busy);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(is_cancelled(r.error()));
  EXPECT_FALSE(file::exists(path));
  EXPECT_FALSE(file::exists(path + ".tmp.write"));
}

// Mutations through the live segment, then its state after reopening and
// through the reader's load path.
TEST(LiveSegment, MutationsSurviveReopen) {
  TempDir dir;
  const std::string path = build_small(dir);
  State expected;
  {
    auto live = open_live(path);
    ASSERT_TRUE(live);
    std::vector<float> rows = random_rows(5, kDim, 3);
    std::vector<std::optional<Payload>> payloads(5);
    payloads[1] = payload_of({{"tag", str_value("x")}});
    LiveSegment::InsertBatch b{rows.data(), 5, kDim, {}, &payloads, 2};
    auto ids = live->insert(b);
    ASSERT_TRUE(ids.ok()) << ids.error().message();
    EXPECT_EQ(*ids, (std::vector<uint64_t>{140, 141, 142, 143, 144}));
    const std::vector<uint64_t> gone = {100, 101, 141, 9999};
    ASSERT_TRUE(live->remove(gone).ok());
    ASSERT_TRUE(live->update_payload(102, payload_of({{"n", int_value(-1)}})).ok());
    EXPECT_EQ(live->update_payload(100, {}).error().kind(), ErrorKind::kPointNotFound);
    expected = live_state(*live);
    EXPECT_EQ(expected.points.size(), 42u);
    EXPECT_EQ(expected.next_id, 145u);
  }
  EXPECT_EQ(loaded_state(path), expected);
  auto again = open_live(path);
  ASSERT_TRUE(again);
  EXPECT_EQ(live_state(*again), expected);
}

TEST(LiveSegment, RefusedBatchesWriteNothing) {
  TempDir dir;
  const std::string path = build_small(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  const std::string wal = wal_path_for(path);
  const auto before = read_bytes(wal);
  std::vector<float> rows = random_rows(3, kDim, 4);
  struct Case {
    std::vector<uint64_t> ids;
    uint64_t dim;
    float poison;
    ErrorKind kind;
  };
  const std::vector<Case> cases = {
      {{1, 2, 1}, kDim, 0, ErrorKind::kInvalidPayload},          // duplicate in the batch
      {{1, 2, 105}, kDim, 0, ErrorKind::kPointExists},            // already present
      {{1, 2, 3}, kDim, NAN, ErrorKind::kInvalidPayload},         // non-finite
      {{1, 2, 3}, kDim - 1, 0, ErrorKind::kVectorLengthMismatch}, // wrong dim
  };
  for (const Case& c : cases) {
    std::vector<float> v = rows;
    v[5] = c.poison == 0 ? v[5] : c.poison;
    LiveSegment::InsertBatch b{v.data(), 3, c.dim, c.ids, nullptr, 1};
    auto r = live->insert(b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind) << r.error().message();
  }
  EXPECT_EQ(read_bytes(wal), before);
}

TEST(LiveSegment, SecondWriterIsRefused) {
  TempDir dir;
  const std::string path = build_small(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  bool busy = false;
  auto second = LiveSegment::open(path, &busy);
  EXPECT_FALSE(second.ok());
  EXPECT_TRUE(busy);
  live->close();
  EXPECT_TRUE(LiveSegment::open(path, &busy).ok());
}

// Mutates a fresh copy of the small segment: inserts, deletes (built and
// inserted points), payload updates of points deleted later and of live
// ones. Returns the acknowledged state.
State mutate(LiveSegment& live) {
  std::vector<float> rows = random_rows(6, kDim, 5);
  std::vector<std::optional<Payload>> payloads(6);
  payloads[0] = payload_of({{"n", int_value(7)}});
  LiveSegment::InsertBatch b{rows.data(), 6, kDim, {}, &payloads, 1};
  EXPECT_TRUE(live.insert(b).ok());
  EXPECT_TRUE(live.update_payload(104, payload_of({{"u", int_value(1)}})).ok());
  EXPECT_TRUE(live.update_payload(140, payload_of({{"u", int_value(2)}})).ok());
  EXPECT_TRUE(live.update_payload(106, payload_of({{"u", int_value(3)}})).ok());
  EXPECT_TRUE(live.remove(std::vector<uint64_t>{104, 140, 101, 145}).ok());
  return live_state(live);
}

// Fails the n-th file operation of a compaction, for every n; afterwards
// both load paths see the acknowledged state, and so does a later
// compaction.
TEST(Compaction, AFailureAtAnyFileOperationKeepsTheState) {
  uint64_t ops = 0;
  for (uint64_t n = 1;; ++n) {
    TempDir dir;
    const std::string path = build_small(dir);
    auto live = open_live(path);
    ASSERT_TRUE(live);
    const State expected = mutate(*live);
    uint64_t seen = 0;
    file::set_fault_hook([&](file::Op, const std::string&, uint64_t) {
      return ++seen == n ? file::Fault{file::Fault::kFail, EIO} : file::Fault{};
    });
    Status s = live->compact(2);
    file::set_fault_hook({});
    if (seen < n) {  // every operation ran: the matrix is complete
      ASSERT_TRUE(s.ok()) << s.error().message();
      ops = seen;
    }
    EXPECT_EQ(live_state(*live), expected) << "fault at op " << n;
    live.reset();
    EXPECT_EQ(loaded_state(path), expected) << "fault at op " << n;
    auto again = open_live(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(live_state(*again), expected) << "fault at op " << n;
    ASSERT_TRUE(again->compact(1).ok());
    again.reset();
    EXPECT_EQ(loaded_state(path), expected) << "fault at op " << n;
    if (ops) break;
  }
  EXPECT_GE(ops, 10u);
}

// After compaction the log is empty, the snapshot has no deleted points,
// and a purged id may be inserted again.
TEST(Compaction, PurgesAndEmptiesTheLog) {
  TempDir dir;
  const std::string path = build_small(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  const State expected = mutate(*live);
  ASSERT_TRUE(live->compact(2).ok());
  EXPECT_EQ(file_size(wal_path_for(path)), kWalHeaderSize);
  EXPECT_TRUE(live->read().segment()->deleted().empty());
  EXPECT_EQ(live->read().segment()->hnsw().len(), expected.points.size());
  std::vector<float> row = random_rows(1, kDim, 9);
  const std::vector<uint64_t> again_id = {104};
  LiveSegment::InsertBatch b{row.data(), 1, kDim, again_id, nullptr, 1};
  ASSERT_TRUE(live->insert(b).ok());
  live.reset();
  EXPECT_EQ(loaded_state(path).points.count(104), 1u);
}

// With the automatic purge switched on, a writer still keeps deleted ids
// known (live and in its replay) until a compaction, so its log never
// re-inserts an id after deleting it: the re-insert compacts first.
TEST(LiveSegment, NeverPurgesSoAReinsertCompactsFirst) {
  ScopedEnv purge("VECTORDB_PURGE_DELETIONS", "1");
  TempDir dir;
  const std::string path = dir.file("seg.snap");
  std::vector<float> rows = random_rows(200, kDim, 11);
  BuildRequest request;
  request.vectors = rows.data();
  request.rows = 200;
  request.dim = kDim;
  request.metric = Metric::kEuclidean;
  bool busy = false;
  ASSERT_TRUE(build_segment(path, request, nullptr, &busy).ok());
  std::vector<uint64_t> gone(120);
  for (uint64_t i = 0; i < gone.size(); ++i) gone[i] = i;
  const std::vector<uint64_t> again = {5};
  for (int round = 0; round < 2; ++round) {
    auto live = open_live(path);
    ASSERT_TRUE(live);
    if (round == 0) {
      ASSERT_TRUE(live->remove(gone).ok());
    }
    EXPECT_EQ(live->read().segment()->deleted().size(), 120u * (1 - round));
    if (round == 1) break;
    LiveSegment::InsertBatch b{rows.data(), 1, kDim, again, nullptr, 1};
    ASSERT_TRUE(live->insert(b).ok());
    EXPECT_EQ(live->read().segment()->hnsw().len(), 81u);
    const WalRecord r = insert_record(5, std::vector<float>(rows.begin(), rows.begin() + kDim));
    EXPECT_EQ(file_size(wal_path_for(path)), kWalHeaderSize + 8 + wal_record_size(r));  // the insert only
  }
}

// Searches under the shared lock while another thread inserts batches (on
// two graph threads), deletes and compacts.
TEST(LiveSegmentConcurrency, SearchesBesideMutations) {
  TempDir dir;
  const std::string path = build_small(dir);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint32_t b = 0; b < 8; ++b) {
      std::vector<float> rows = random_rows(20, kDim, 100 + b);
      LiveSegment::InsertBatch batch{rows.data(), 20, kDim, {}, nullptr, 2};
      EXPECT_TRUE(live->insert(batch).ok());
      EXPECT_TRUE(live->remove(std::vector<uint64_t>{100 + b}).ok());
      if (b == 4) {
        EXPECT_TRUE(live->compact(2).ok());
      }
    }
    done = true;
  });
  const std::vector<float> query = random_rows(1, kDim, 7);
  hnsw::SearchOptions opts;
  opts.ef = 32;
  std::vector<hnsw::ScoredNode> out;
  uint64_t searches = 0;
  while (!done || searches == 0) {
    auto reader = live->read();
    ASSERT_TRUE(reader.segment()->hnsw().search(query, 5, opts, out).ok());
    EXPECT_EQ(out.size(), 5u);
    ++searches;
  }
  writer.join();
  EXPECT_EQ(live_state(*live).points.size(), 40u + 160u - 8u);
}

// The filtered log replays over the old snapshot too (the pair a crash
// between its rename and the snapshot's leaves).
TEST(Compaction, FilteredLogReplaysOverTheOldSnapshot) {
  TempDir dir;
  const std::string path = build_small(dir);
  const auto old_snapshot = read_bytes(path);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  const State expected = mutate(*live);
  auto log = filtered_log(wal_path_for(path), *live->read().segment());
  ASSERT_TRUE(log.ok());
  live.reset();
  write_bytes(wal_path_for(path), *log);
  write_bytes(path, old_snapshot);
  EXPECT_EQ(loaded_state(path), expected);
}

}  // namespace
}  // namespace ulmora
