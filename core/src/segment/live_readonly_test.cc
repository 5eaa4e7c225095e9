// Tests of read-only opens and their refresh, delete by filter, and filter
// keys kept with the segment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "base/file.h"
#include "segment/builder.h"
#include "segment/live.h"
#include "segment/live_test_util.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"

namespace ulmora {
namespace {

using namespace testing_util;

constexpr uint64_t kDim = 4;

// 30 points, ids 0..29; payload colour "red" for multiples of 3, else "blue".
std::string build_coloured(const TempDir& dir, std::optional<std::vector<std::string>> keys = std::nullopt) {
  const std::string path = dir.file("seg.snap");
  std::vector<float> rows = random_rows(30, kDim, 7);
  std::vector<std::optional<Payload>> payloads;
  for (uint64_t i = 0; i < 30; ++i) {
    payloads.push_back(payload_of({{"colour", str_value(i % 3 == 0 ? "red" : "blue")}}));
  }
  BuildRequest request = small_request(rows.data(), 30, kDim, &payloads);
  request.filter_keys = std::move(keys);
  Status built = build_file(path, request);
  EXPECT_TRUE(built.ok()) << built.error().message();
  return path;
}

uint64_t live_count(const LiveSegment& live) { return state_of(*live.read().segment()).points.size(); }

Status insert_rows(LiveSegment& live, uint64_t rows, uint32_t seed) {
  std::vector<float> v = random_rows(rows, kDim, seed);
  LiveSegment::InsertBatch b;
  b.vectors = v.data();
  b.rows = rows;
  b.dim = kDim;
  auto done = live.insert(b);
  return done.ok() ? Status::Ok() : Status(done.error());
}

TEST(ReadOnly, OpensWithoutLockOrLogAndRefusesEveryMutation) {
  TempDir dir;
  const std::string path = build_coloured(dir);
  uint64_t writes = 0;
  file::set_fault_hook([&](file::Op op, const std::string&, uint64_t) {
    if (op != file::Op::kOpen && op != file::Op::kRead) ++writes;
    return file::Fault{};
  });
  auto reader = open_reader(path);
  file::set_fault_hook({});
  ASSERT_TRUE(reader);
  EXPECT_EQ(writes, 0u);
  EXPECT_FALSE(file::exists(wal_path_for(path)));
  EXPECT_FALSE(file::exists(path + ".lock"));
  EXPECT_EQ(live_count(*reader), 30u);

  auto refused = [](const Status& s, const char* op) {
    ASSERT_FALSE(s.ok()) << op;
    EXPECT_EQ(s.error().kind(), ErrorKind::kReadOnly);
    EXPECT_EQ(s.error().text(), std::string(op) + "() is refused: the segment is open read-only");
  };
  refused(insert_rows(*reader, 1, 1), "insert");
  const uint64_t one = 3;
  refused(reader->remove(std::span<const uint64_t>(&one, 1)), "delete");
  refused(reader->update_payload(3, Payload{}), "update_payload");
  refused(reader->compact(1), "compact");
  auto by_filter = reader->remove_matching(Filter::all());
  refused(by_filter.ok() ? Status::Ok() : Status(by_filter.error()), "delete");
  EXPECT_EQ(live_count(*reader), 30u);
  EXPECT_FALSE(file::exists(wal_path_for(path)));
  // A writer beside it is not locked out.
  EXPECT_TRUE(open_live(path));
}

TEST(ReadOnly, RefreshFollowsTheWriterAndAFailedOneKeepsTheOldState) {
  TempDir dir;
  const std::string path = build_coloured(dir);
  auto writer = open_live(path);
  auto reader = open_reader(path);
  ASSERT_TRUE(writer && reader);
  ASSERT_TRUE(insert_rows(*writer, 5, 2).ok());
  EXPECT_EQ(live_count(*reader), 30u);  // the state as opened
  ASSERT_TRUE(reader->refresh().ok());
  EXPECT_EQ(live_count(*reader), 35u);
  const std::vector<uint64_t> gone = {0, 1, 2};
  ASSERT_TRUE(writer->remove(gone).ok());
  ASSERT_TRUE(writer->compact(1).ok());
  ASSERT_TRUE(reader->refresh().ok());
  EXPECT_EQ(state_of(*reader->read().segment()), state_of(*writer->read().segment()));

  // A snapshot that no longer decodes: the refresh fails, the old state stays.
  writer->close();
  write_bytes(path, {'V', 'D', 'B', 'S', 9, 0, 0, 0});
  Status failed = reader->refresh();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(live_count(*reader), 32u);
  reader->close();
  EXPECT_EQ(reader->refresh().error().message(), closed_error().message());
}

// Reads of the snapshot file during `fn`.
template <class Fn>
uint64_t snapshot_reads(const std::string& path, Fn&& fn) {
  uint64_t reads = 0;
  file::set_fault_hook([&](file::Op op, const std::string& p, uint64_t) {
    if (op == file::Op::kRead && p == path) ++reads;
    return file::Fault{};
  });
  fn();
  file::set_fault_hook({});
  return reads;
}

TEST(ReadOnly, RefreshAppliesOnlyTheNewLogRecordsAndWaitsForACutOne) {
  TempDir dir;
  const std::string path = build_coloured(dir);
  auto writer = open_live(path);
  auto reader = open_reader(path);
  ASSERT_TRUE(writer && reader);
  ASSERT_TRUE(reader->refresh().ok());  // nothing new: nothing loaded
  ASSERT_TRUE(reader->read().segment()->hnsw().frozen());

  // The first records to follow load the files once more, with a graph that
  // takes inserts; later ones are read from the log alone.
  ASSERT_TRUE(insert_rows(*writer, 4, 2).ok());
  ASSERT_TRUE(reader->refresh().ok());
  EXPECT_FALSE(reader->read().segment()->hnsw().frozen());
  ASSERT_TRUE(insert_rows(*writer, 3, 3).ok());
  const std::vector<uint64_t> gone = {1, 31};
  ASSERT_TRUE(writer->remove(gone).ok());
  ASSERT_TRUE(writer->update_payload(4, payload_of({{"colour", str_value("green")}})).ok());
  EXPECT_EQ(snapshot_reads(path, [&] { ASSERT_TRUE(reader->refresh().ok()); }), 0u);
  EXPECT_EQ(state_of(*reader->read().segment()), state_of(*writer->read().segment()));
  const Filter green = Filter::compare(Filter::Op::kEq, "colour", str_value("green"));
  EXPECT_EQ(match_set(green, *reader->read().segment()).value().size(), 1u);

  // A record cut short (its writer not done yet) is left for a later refresh.
  ASSERT_TRUE(insert_rows(*writer, 1, 4).ok());
  writer->close();
  const std::string log = wal_path_for(path);
  const std::vector<uint8_t> whole = read_bytes(log);
  ASSERT_EQ(::truncate(log.c_str(), static_cast<off_t>(whole.size() - 3)), 0);
  ASSERT_TRUE(reader->refresh().ok());
  EXPECT_EQ(live_count(*reader), 35u);
  write_bytes(log, whole);  // in place, as an append finishing
  ASSERT_TRUE(reader->refresh().ok());
  EXPECT_EQ(live_count(*reader), 36u);

  // A compaction replaces the files: loaded afresh, and still following.
  auto again = open_live(path);
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->compact(1).ok());
  ASSERT_TRUE(insert_rows(*again, 2, 5).ok());
  EXPECT_GT(snapshot_reads(path, [&] { ASSERT_TRUE(reader->refresh().ok()); }), 0u);
  EXPECT_EQ(state_of(*reader->read().segment()), state_of(*again->read().segment()));
  EXPECT_FALSE(reader->read().segment()->hnsw().frozen());
}

TEST(DeleteByFilter, DeletesTheMatchesWithOneLogWriteAndReplays) {
  TempDir dir;
  const std::string path = build_coloured(dir);
  auto writer = open_live(path);
  ASSERT_TRUE(writer);
  const Filter red = Filter::compare(Filter::Op::kEq, "colour", str_value("red"));
  uint64_t writes = 0;
  file::set_fault_hook([&](file::Op op, const std::string&, uint64_t) {
    if (op == file::Op::kWrite) ++writes;
    return file::Fault{};
  });
  auto deleted = writer->remove_matching(red);
  file::set_fault_hook({});
  ASSERT_TRUE(deleted.ok()) << deleted.error().message();
  EXPECT_EQ(*deleted, 10u);
  EXPECT_EQ(writes, 1u);
  EXPECT_EQ(writer->remove_matching(red).value(), 0u);  // nothing left to match
  const State after = state_of(*writer->read().segment());
  EXPECT_EQ(after.points.size(), 20u);
  for (const auto& [id, point] : after.points) EXPECT_NE(id % 3, 0u);
  writer->close();
  auto reloaded = Segment::load(path);
  ASSERT_TRUE(reloaded.ok());
  EXPECT_EQ(state_of(**reloaded), after);
}

TEST(FilterKeys, KeptThroughLoadsCompactionAndAnOpenThatChangesThem) {
  TempDir dir;
  const std::string path = build_coloured(dir, std::vector<std::string>{"colour", "size"});
  const std::set<std::string> built = {"colour", "size"};
  auto keys_on_disk = [&] {
    auto seg = Segment::load(path);
    EXPECT_TRUE(seg.ok());
    return seg.ok() ? (*seg)->filter_keys() : std::nullopt;
  };
  EXPECT_EQ(keys_on_disk(), built);
  auto whole = Segment::load_snapshot(path);  // the other load path reads them too
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ((*whole)->filter_keys(), built);
  {
    auto writer = open_live(path);
    ASSERT_TRUE(writer && insert_rows(*writer, 3, 4).ok());
    ASSERT_TRUE(writer->compact(1).ok());
  }
  EXPECT_EQ(keys_on_disk(), built);
  // Other keys at open are stored at once; the same keys rewrite nothing.
  { ASSERT_TRUE(open_live(path, std::vector<std::string>{"colour"})); }
  EXPECT_EQ(keys_on_disk(), std::set<std::string>{"colour"});
  const auto before = read_bytes(path);
  { ASSERT_TRUE(open_live(path, std::vector<std::string>{"colour"})); }
  EXPECT_EQ(read_bytes(path), before);
  bool busy = false;
  EXPECT_FALSE(LiveSegment::open(path, &busy, std::vector<std::string>{""}).ok());
  EXPECT_FALSE(LiveSegment::open(path, &busy, std::vector<std::string>{}).ok());
}

TEST(FilterKeys, OnlyTheNamedKeysGetEdges) {
  // Filter edges change the level-0 lists; keys no payload holds change nothing.
  TempDir a, b, c;
  auto graph_of = [](const std::string& path) {
    auto seg = Segment::load(path);
    EXPECT_TRUE(seg.ok());
    SegmentSnapshot s = (*seg)->to_snapshot();
    s.filter_keys.reset();
    return encode_snapshot_file(s, SnapshotWriteOptions{SnapshotForm::kVersion2, false, 0});
  };
  auto seeded = [](const TempDir& dir, std::optional<std::vector<std::string>> keys) {
    const std::string path = dir.file("seg.snap");
    std::vector<float> rows = random_rows(60, kDim, 9);
    std::vector<std::optional<Payload>> payloads;
    for (uint64_t i = 0; i < 60; ++i) {
      payloads.push_back(payload_of({{"colour", int_value(static_cast<int64_t>(i % 2))}}));
    }
    BuildRequest r;
    r.vectors = rows.data();
    r.rows = 60;
    r.dim = kDim;
    r.payloads = &payloads;
    r.metric = Metric::kEuclidean;
    r.m = 4;
    r.ef_construction = 16;
    r.seed = 3;
    r.filter_keys = std::move(keys);
    bool busy = false;
    EXPECT_TRUE(build_segment(path, r, nullptr, &busy).ok());
    return path;
  };
  const auto plain = graph_of(seeded(a, std::nullopt));
  EXPECT_EQ(graph_of(seeded(b, std::vector<std::string>{"absent"})), plain);
  EXPECT_NE(graph_of(seeded(c, std::vector<std::string>{"colour"})), plain);
}

}  // namespace
}  // namespace ulmora
