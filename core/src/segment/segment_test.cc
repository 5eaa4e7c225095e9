#include "segment/segment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "base/log.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"

namespace ulmora {
namespace {

constexpr Segment::Source kCall = Segment::Source::kCall;      // logged, checked
constexpr Segment::Source kReplay = Segment::Source::kReplay;  // as the log replays it

using namespace testing_util;

// No log beside test snapshots is replayed unless a test writes one.
std::unique_ptr<Segment> make_segment(uint64_t dim, Metric metric = Metric::kEuclidean) {
  auto seg = Segment::from_snapshot(empty_snapshot(dim, metric));
  EXPECT_TRUE(seg.ok());
  return std::move(seg.value());
}

std::vector<float> vec2(uint64_t i) { return {static_cast<float>(i), static_cast<float>(i % 7)}; }

// Fills a 2-d segment with points 0..n-1 through the replay form.
std::unique_ptr<Segment> filled_segment(uint64_t n) {
  auto seg = make_segment(2);
  for (uint64_t i = 0; i < n; ++i) EXPECT_TRUE(seg->insert(i, vec2(i), std::nullopt, kReplay).ok());
  return seg;
}

// Splits "a=1 b=2" into its space-separated tokens.
std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// "<digits>[.<digits>]<unit>" with unit s, ms, µs or ns.
bool is_duration(const std::string& s) {
  for (const char* unit : {"ms", "µs", "ns", "s"}) {
    std::string u(unit);
    if (s.size() <= u.size() || s.compare(s.size() - u.size(), u.size(), u) != 0) continue;
    std::string number = s.substr(0, s.size() - u.size());
    size_t dot = number.find('.');
    if (dot == std::string::npos) return all_digits(number);
    return all_digits(number.substr(0, dot)) && all_digits(number.substr(dot + 1));
  }
  return false;
}

// Checks `key=value` tokens in order; `value_ok` judges each value.
template <class F>
void expect_fields(const std::vector<std::string>& toks, size_t first, const std::vector<std::string>& keys,
                   F value_ok) {
  ASSERT_EQ(toks.size(), first + keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string& t = toks[first + i];
    ASSERT_EQ(t.substr(0, keys[i].size() + 1), keys[i] + "=") << t;
    EXPECT_TRUE(value_ok(keys[i], t.substr(keys[i].size() + 1))) << t;
  }
}

// Captures log records for the scope.
class LogCapture {
 public:
  // Keeps records of `target` only, or all when it is empty (one-time
  // records of the search path may arrive in whichever test runs first).
  explicit LogCapture(std::string target = "") : target_(std::move(target)) {
    log::set_sink([this](const log::Record& r) {
      if (!target_.empty() && r.target != target_) return;
      lines.push_back(std::string(r.target) + "|" + std::string(r.message));
    });
    log::set_max_level(log::Level::kInfo);
  }
  ~LogCapture() {
    log::set_max_level(log::Level::kOff);
    log::set_sink(nullptr);
  }
  std::vector<std::string> lines;

 private:
  std::string target_;
};

// ---- Loading ------------------------------------------------------------

TEST(SegmentLoad, BuildsTheSegmentFromTheSnapshot) {
  TempDir dir;
  SegmentSnapshot s = empty_snapshot(3);
  s.hnsw.vectors.append(5, std::vector<float>{1, 2, 3});
  s.hnsw.vectors.append(9, std::vector<float>{4, 5, 6});
  s.hnsw.vectors.finalize();
  s.payloads[5] = payload_of({{"colour", str_value("red")}});
  index_payload(s.payload_index, 5, s.payloads[5]);
  s.next_id = 10;
  std::string path = write_snapshot(dir.file("seg.snap"), s);

  auto seg = Segment::load(path);
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  EXPECT_EQ((*seg)->hnsw().len(), 2u);
  EXPECT_EQ((*seg)->hnsw().dim(), 3u);
  EXPECT_EQ((*seg)->next_id(), 10u);
  EXPECT_EQ((*seg)->payloads().size(), 1u);
  EXPECT_EQ((*seg)->payload_index().size(), 1u);
  EXPECT_EQ((*seg)->wal(), nullptr);
  EXPECT_FALSE((*seg)->unloaded());
  EXPECT_FALSE((*seg)->rebuilding());
}

std::vector<uint8_t> versioned_with(uint32_t version) {
  SnapshotWriteOptions opts;
  opts.form = SnapshotForm::kVersion2;
  opts.trailer = false;
  std::vector<uint8_t> bytes = encode_snapshot_file(empty_snapshot(2), opts);
  std::memcpy(bytes.data() + 4, &version, 4);
  return bytes;
}

TEST(SegmentLoad, ReportsReadChecksumVersionAndDecodeFailures) {
  TempDir dir;
  std::vector<uint8_t> good = encode_snapshot_file(empty_snapshot(2));
  std::vector<uint8_t> bad_sum = good;
  bad_sum[bad_sum.size() - 1] ^= 0xFF;
  SnapshotWriteOptions bare;
  bare.trailer = false;
  std::vector<uint8_t> cut = encode_snapshot_file(empty_snapshot(2), bare);
  cut.resize(cut.size() / 2);
  SegmentSnapshot zero_dim = empty_snapshot(2);
  zero_dim.hnsw.dim = 0;

  write_bytes(dir.file("sum.snap"), bad_sum);
  write_bytes(dir.file("v4.snap"), versioned_with(4));
  write_bytes(dir.file("cut.snap"), cut);
  write_snapshot(dir.file("zero.snap"), zero_dim);

  const std::pair<std::string, std::string> cases[] = {
      {dir.file("missing.snap"), "I/O error: No such file or directory (os error 2)"},
      {dir.file(""), "I/O error: Is a directory (os error 21)"},
      {dir.file("sum.snap"), "Serialization error: segment snapshot checksum mismatch"},
      {dir.file("v4.snap"), "Serialization error: unsupported segment snapshot version 4"},
      {dir.file("cut.snap"), "Serialization error: io error: unexpected end of file"},
  };
  for (const auto& [path, text] : cases) {
    auto seg = Segment::load(path);
    ASSERT_FALSE(seg.ok()) << path;
    EXPECT_EQ(seg.error().message(), text) << path;
  }
  // A zero-dimension graph cannot be restored: an error, never a crash.
  EXPECT_FALSE(Segment::load(dir.file("zero.snap")).ok());
}

TEST(SegmentLoad, TimingLineHasItsEightFieldsInOrder) {
  LoadTimings t{123, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(format_load_timing_line("a/b.snap", t),
            "snapshot_load path=a/b.snap bytes=123 read_ms=1 checksum_ms=2 deserialize_ms=3 build_ms=4 "
            "wal_replay_ms=5 total_ms=6");
}

TEST(SegmentLoad, PrintsOneTimingLineOnlyForASuccessfulLoadWithTheFlagOn) {
  TempDir dir;
  std::string path = write_snapshot(dir.file("seg.snap"), empty_snapshot(2));
  std::vector<uint8_t> ten(10, 0x55);
  write_bytes(dir.file("bad.snap"), ten);
  const std::string bytes = std::to_string(file_size(path));
  auto check_line = [&](const std::string& err) {
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(err.find('\n'), err.size() - 1);
    std::vector<std::string> toks = tokens(err);
    ASSERT_FALSE(toks.empty());
    EXPECT_EQ(toks[0], "snapshot_load");
    expect_fields(toks, 1,
                  {"path", "bytes", "read_ms", "checksum_ms", "deserialize_ms", "build_ms", "wal_replay_ms",
                   "total_ms"},
                  [&](const std::string& key, const std::string& value) {
                    if (key == "path") return value == path;
                    if (key == "bytes") return value == bytes;
                    if (key == "wal_replay_ms") return value == "0";
                    return all_digits(value);
                  });
  };

  {
    ScopedEnv on("VECTORDB_LOG_SNAPSHOT_LOAD_TIMING", "1");
    LogCapture logs;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Segment::load(path).ok());
    std::string err = ::testing::internal::GetCapturedStderr();
    check_line(err);
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_EQ(logs.lines[0], "snapshot|" + err.substr(0, err.size() - 1));

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Segment::load(dir.file("bad.snap")).ok());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
  for (const char* off : {"0", "false", "FALSE", static_cast<const char*>(nullptr)}) {
    ScopedEnv flag("VECTORDB_LOG_SNAPSHOT_LOAD_TIMING", off);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Segment::load(path).ok());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// ---- Mutations ----------------------------------------------------------

TEST(SegmentMutation, InsertKeepsPayloadsIndexAndNextIdInStep) {
  auto seg = make_segment(2);
  ASSERT_TRUE(seg->insert(4, {1, 2}, payload_of({{"n", int_value(3)}}), kReplay).ok());
  ASSERT_TRUE(seg->insert(2, {3, 4}, std::nullopt, kReplay).ok());
  EXPECT_EQ(seg->next_id(), 5u);
  EXPECT_TRUE(seg->hnsw().contains(4));
  EXPECT_TRUE(seg->hnsw().contains(2));
  EXPECT_EQ(seg->payloads().count(4), 1u);
  EXPECT_EQ(seg->payloads().count(2), 0u);
  ASSERT_EQ(seg->payload_index().count("n"), 1u);
  EXPECT_EQ(seg->payload_index().at("n").at(int_value(3)), PointIdSet{4});
}

TEST(SegmentMutation, InsertRefusesKnownIdsAndWrongLengths) {
  auto seg = make_segment(4);
  ASSERT_TRUE(seg->insert(1, {1, 2, 3, 4}, std::nullopt, kReplay).ok());
  ASSERT_TRUE(seg->remove(1, kReplay).ok());
  Status again = seg->insert(1, {1, 2, 3, 4}, std::nullopt, kReplay);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "Point with ID 1 already exists");
  Status shorter = seg->insert(2, {1, 2, 3}, std::nullopt, kReplay);
  ASSERT_FALSE(shorter.ok());
  EXPECT_EQ(shorter.error().message(), "Vector length mismatch: expected 4, got 3");
  EXPECT_FALSE(seg->hnsw().contains(2));
}

TEST(SegmentMutation, NextIdSaturatesAtTheLargestId) {
  auto seg = make_segment(2);
  ASSERT_TRUE(seg->insert(UINT64_MAX, {1, 1}, std::nullopt, kReplay).ok());
  EXPECT_EQ(seg->next_id(), UINT64_MAX);
  ASSERT_TRUE(seg->insert(3, {1, 2}, std::nullopt, kReplay).ok());
  EXPECT_EQ(seg->next_id(), UINT64_MAX);
}

TEST(SegmentMutation, DeleteDropsThePayloadAndMarksTheNode) {
  auto seg = make_segment(2);
  ASSERT_TRUE(seg->insert(1, {1, 1}, payload_of({{"colour", str_value("red")}}), kReplay).ok());
  ASSERT_TRUE(seg->insert(2, {2, 2}, payload_of({{"colour", str_value("blue")}}), kReplay).ok());
  ASSERT_TRUE(seg->remove(1, kReplay).ok());
  EXPECT_EQ(seg->deleted(), PointIdSet{1});
  EXPECT_EQ(seg->payloads().count(1), 0u);
  EXPECT_EQ(seg->payload_index().at("colour").count(str_value("red")), 0u);
  EXPECT_EQ(seg->hnsw().state(*seg->hnsw().index_of(1)), hnsw::NodeState::kDeleted);
  // Deleting again, or deleting an unknown id, changes nothing.
  ASSERT_TRUE(seg->remove(1, kReplay).ok());
  ASSERT_TRUE(seg->remove(77, kReplay).ok());
  EXPECT_EQ(seg->deleted(), PointIdSet{1});
  ASSERT_TRUE(seg->remove(2, kReplay).ok());
  EXPECT_TRUE(seg->payload_index().empty());
}

TEST(SegmentMutation, LivePointsExcludeDeletedOnesInNodeOrder) {
  auto seg = filled_segment(5);
  ASSERT_TRUE(seg->remove(1, Segment::Source::kCall).ok());
  ASSERT_TRUE(seg->remove(3, Segment::Source::kCall, Segment::Purge::kNever).ok());
  std::vector<std::pair<uint64_t, uint64_t>> live;
  seg->for_each_live([&](uint64_t id, uint64_t node) { live.emplace_back(id, node); });
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {0, *seg->hnsw().index_of(0)}, {2, *seg->hnsw().index_of(2)}, {4, *seg->hnsw().index_of(4)}};
  EXPECT_EQ(live, expected);
  EXPECT_FALSE(seg->is_live(*seg->hnsw().index_of(1)));
  EXPECT_TRUE(seg->is_live(*seg->hnsw().index_of(4)));
}

TEST(SegmentMutation, UpdatePayloadReindexesAndRefusesDeletedOrUnknownPoints) {
  auto seg = make_segment(2);
  ASSERT_TRUE(seg->insert(1, {1, 1}, payload_of({{"a", int_value(1)}}), kReplay).ok());
  ASSERT_TRUE(seg->update_payload(1, payload_of({{"a", int_value(2)}}), kReplay).ok());
  EXPECT_EQ(seg->payload_index().at("a").count(int_value(1)), 0u);
  EXPECT_EQ(seg->payload_index().at("a").at(int_value(2)), PointIdSet{1});

  ASSERT_TRUE(seg->remove(1, kReplay).ok());
  PayloadIndex before = seg->payload_index();
  for (uint64_t id : {uint64_t{1}, UINT64_MAX}) {
    Status s = seg->update_payload(id, payload_of({{"a", int_value(9)}}), kReplay);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "Point with ID " + std::to_string(id) + " not found");
  }
  EXPECT_EQ(seg->payload_index(), before);
  EXPECT_EQ(seg->payloads().count(1), 0u);
}

// ---- Live mutations and the log -------------------------------------------

struct LiveSegment {
  TempDir dir;
  std::string wal_path = dir.file("seg.wal");
  std::unique_ptr<Segment> seg;

  explicit LiveSegment(uint64_t dim = 3) {
    write_snapshot(dir.file("seg.snap"), empty_snapshot(dim));
    write_bytes(wal_path, LogBuilder().bytes());
    ScopedEnv fsync("VECTORDB_WAL_FSYNC", "0");
    auto loaded = Segment::load(dir.file("seg.snap"));
    EXPECT_TRUE(loaded.ok());
    seg = std::move(loaded.value());
  }
  std::unique_ptr<Segment> reload() {
    seg.reset();
    auto loaded = Segment::load(dir.file("seg.snap"));
    EXPECT_TRUE(loaded.ok()) << loaded.error().message();
    return loaded.ok() ? std::move(loaded.value()) : nullptr;
  }
};

TEST(SegmentLive, MutationsAreLoggedAndReplayed) {
  LiveSegment live;
  ASSERT_NE(live.seg->wal(), nullptr);
  ASSERT_TRUE(live.seg->insert(1, {1, 2, 3}, payload_of({{"k", int_value(1)}}), kCall).ok());
  ASSERT_TRUE(live.seg->insert(2, {3, 2, 1}, std::nullopt, kCall).ok());
  ASSERT_TRUE(live.seg->update_payload(2, payload_of({{"k", int_value(2)}}), kCall).ok());
  ASSERT_TRUE(live.seg->remove(1, kCall).ok());

  auto again = live.reload();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->hnsw().len(), 2u);
  EXPECT_EQ(again->deleted(), PointIdSet{1});
  EXPECT_EQ(again->payloads().count(1), 0u);
  EXPECT_EQ(again->payload_index().at("k").at(int_value(2)), PointIdSet{2});
  EXPECT_EQ(again->next_id(), 3u);
}

TEST(SegmentLive, RefusedMutationsWriteNothingToTheLog) {
  LiveSegment live;
  ASSERT_TRUE(live.seg->insert(1, {1, 2, 3}, std::nullopt, kCall).ok());
  const uint64_t size = file_size(live.wal_path);

  const std::pair<Status, std::string> refused[] = {
      {live.seg->insert(1, {1, 2, 3}, std::nullopt, kCall), "Point with ID 1 already exists"},
      {live.seg->insert(2, {1, 2}, std::nullopt, kCall), "Vector length mismatch: expected 3, got 2"},
      {live.seg->update_payload(5, Payload{}, kCall), "Point with ID 5 not found"},
  };
  for (const auto& [status, text] : refused) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(), text);
  }
  ASSERT_TRUE(live.seg->remove(5, kCall).ok());  // unknown: no record either
  EXPECT_EQ(file_size(live.wal_path), size);

  live.seg->mark_unloaded();
  const Status capped[] = {live.seg->insert(3, {1, 2, 3}, std::nullopt, kCall), live.seg->remove(1, kCall),
                           live.seg->update_payload(1, Payload{}, kCall)};
  for (const Status& s : capped) {
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "Memory cap exceeded: segment unloaded after memory cap exceeded");
  }
  EXPECT_EQ(file_size(live.wal_path), size);
  // Replay forms ignore the cap.
  EXPECT_TRUE(live.seg->insert(3, {1, 2, 3}, std::nullopt, kReplay).ok());
}

// The cap is read once per process, so this runs in a fresh process.
TEST(SegmentLiveDeathTest, ExceedingTheMemoryCapUnloadsTheSegment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("VECTORDB_MAX_RSS_MB", "1", 1);
        bool ok = false;
        {  // destroyed before exit(): the leak checker cannot see graph blocks held in mapped memory
          LiveSegment live;
          ok = live.seg->insert(1, {1, 2, 3}, std::nullopt, kCall).ok() && live.seg->unloaded();
          Status refused = live.seg->insert(2, {1, 2, 3}, std::nullopt, kCall);
          ok = ok && !refused.ok() && refused.error().kind() == ErrorKind::kMemoryCapExceeded;
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ::setenv("VECTORDB_MAX_RSS_MB", "1_000_000", 1);
        bool ok = false;
        {
          LiveSegment live;
          ok = live.seg->insert(1, {1, 2, 3}, std::nullopt, kCall).ok() && !live.seg->unloaded();
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Purge --------------------------------------------------------------

struct PurgeCase {
  const char* env;
  uint64_t points;
  uint64_t deletes;
  bool purged;
};

class SegmentPurge : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(SegmentPurge, PurgesAtOneHundredDeletionsAndAQuarter) {
  const PurgeCase& c = GetParam();
  auto seg = filled_segment(c.points);
  ScopedEnv purge("VECTORDB_PURGE_DELETIONS", c.env);
  LogCapture logs;
  for (uint64_t i = 0; i < c.deletes; ++i) ASSERT_TRUE(seg->remove(i, kReplay).ok());
  if (c.purged) {
    EXPECT_TRUE(seg->deleted().empty());
    EXPECT_EQ(seg->hnsw().len(), c.points - c.deletes);
    ASSERT_EQ(logs.lines.size(), 1u);
    EXPECT_EQ(logs.lines[0], "segment|[DELETE] Triggering purge: 100/400 (25.00%) deleted");
  } else {
    EXPECT_EQ(seg->deleted().size(), c.deletes);
    EXPECT_EQ(seg->hnsw().len(), c.points);
    EXPECT_TRUE(logs.lines.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, SegmentPurge,
                         ::testing::Values(PurgeCase{"1", 100, 99, false}, PurgeCase{"1", 400, 100, true},
                                           PurgeCase{"1", 401, 100, false}, PurgeCase{nullptr, 400, 100, false},
                                           PurgeCase{"false", 400, 100, false}));

TEST(SegmentPurge, RebuildKeepsSurvivorsInOrderWithTheirPayloads) {
  auto seg = make_segment(2);
  // Ids in a non-sorted insertion order, so node order differs from id order.
  std::vector<uint64_t> ids;
  for (uint64_t i = 0; i < 40; ++i) ids.push_back((i * 17) % 40);
  for (uint64_t id : ids) {
    std::optional<Payload> p;
    if (id % 3 == 0) p = payload_of({{"third", int_value(static_cast<int64_t>(id))}, {"all", int_value(1)}});
    ASSERT_TRUE(seg->insert(id, vec2(id), p, kReplay).ok());
  }
  for (uint64_t id = 0; id < 40; id += 2) ASSERT_TRUE(seg->remove(id, kReplay).ok());
  ASSERT_TRUE(seg->rebuild().ok());

  EXPECT_TRUE(seg->deleted().empty());
  EXPECT_FALSE(seg->rebuilding());
  std::vector<uint64_t> expected;
  for (uint64_t id : ids)
    if (id % 2 == 1) expected.push_back(id);
  const hnsw::HnswIndex& g = seg->hnsw();
  ASSERT_EQ(g.len(), expected.size());
  for (uint64_t i = 0; i < g.len(); ++i) {
    EXPECT_EQ(g.point_id(i), expected[i]);
    EXPECT_EQ(g.vector(i)[0], static_cast<float>(expected[i]));
  }
  for (uint64_t id : expected) EXPECT_EQ(seg->payloads().count(id), id % 3 == 0 ? 1u : 0u) << id;
  PointIdSet holders = seg->payload_index().at("all").at(int_value(1));
  EXPECT_EQ(holders, (PointIdSet{3, 9, 15, 21, 27, 33, 39}));

  // A purged id is gone: deleting it is a no-op and it can come back.
  ASSERT_TRUE(seg->remove(4, kReplay).ok());
  EXPECT_TRUE(seg->deleted().empty());
  ASSERT_TRUE(seg->insert(4, {4, 4}, std::nullopt, kReplay).ok());
  EXPECT_TRUE(seg->hnsw().contains(4));
}

// Two purges asked for at once: each either runs alone or is refused, never
// both at the same time, and the flag is clear afterwards.
TEST(SegmentConcurrency, SecondRebuildIsRefusedWhileOneRuns) {
  auto seg = filled_segment(600);
  for (uint64_t id = 0; id < 600; id += 3) ASSERT_TRUE(seg->remove(id, kReplay).ok());
  Status results[2];
  std::thread a([&] { results[0] = seg->rebuild(); });
  std::thread b([&] { results[1] = seg->rebuild(); });
  a.join();
  b.join();
  int ran = 0;
  for (const Status& s : results) {
    if (s.ok()) {
      ++ran;
    } else {
      EXPECT_EQ(s.error().message(), "Search failed: Segment rebuild already in progress.");
    }
  }
  EXPECT_GE(ran, 1);
  EXPECT_FALSE(seg->rebuilding());
  EXPECT_TRUE(seg->deleted().empty());
  EXPECT_EQ(seg->hnsw().len(), 400u);
}

// ---- Insert timing -----------------------------------------------------------

TEST(InsertTiming, DurationsPrintWithTheirLargestWholeUnit) {
  using namespace std::chrono;
  const std::pair<nanoseconds, const char*> cases[] = {
      {milliseconds(1500), "1.5s"},  {microseconds(2250), "2.25ms"}, {microseconds(12), "12µs"},
      {nanoseconds(250), "250ns"},   {nanoseconds(0), "0ns"},        {seconds(3), "3s"},
      {nanoseconds(1000000001), "1.000000001s"},                     {nanoseconds(1999), "1.999µs"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(format_duration(d), text);
}

TEST(InsertTiming, ReportsEveryFiveThousandInsertsPerThread) {
  ScopedEnv timing("VECTORDB_LOG_INSERT_TIMING", "1");
  auto seg = make_segment(2);
  LogCapture logs("segment");
  // A fresh thread starts with an empty accumulator.
  std::thread([&] {
    for (uint64_t i = 0; i < 10000; ++i) ASSERT_TRUE(seg->insert(i, vec2(i), std::nullopt, kReplay).ok());
  }).join();
  ASSERT_EQ(logs.lines.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> toks = tokens(logs.lines[i]);
    ASSERT_FALSE(toks.empty());
    EXPECT_EQ(toks[0], "segment|[insert_timing_chunk]");
    const std::string cum = std::to_string(5000 * (i + 1));
    expect_fields(toks, 1,
                  {"n", "cum_n", "avg_hnsw", "avg_payload_idx", "avg_filter_edges", "avg_total", "chunk_elapsed"},
                  [&](const std::string& key, const std::string& value) {
                    if (key == "n") return value == "5000";
                    if (key == "cum_n") return value == cum;
                    return is_duration(value);
                  });
  }
}

}  // namespace
}  // namespace ulmora
