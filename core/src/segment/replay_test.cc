#include <gtest/gtest.h>

#include <random>

#include "segment/segment.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"

namespace ulmora {
namespace {

constexpr Segment::Source kCall = Segment::Source::kCall;

using namespace testing_util;

// A 3-d snapshot holding point 1 at seg.snap, with its log at seg.wal.
struct LoggedSegment {
  TempDir dir;
  std::string snap = dir.file("seg.snap");
  std::string wal = dir.file("seg.wal");

  LoggedSegment() {
    SegmentSnapshot s = empty_snapshot(3);
    s.hnsw.vectors.append(1, std::vector<float>{1, 1, 1});
    s.hnsw.vectors.finalize();
    s.next_id = 2;
    write_snapshot(snap, s);
  }
  Result<std::unique_ptr<Segment>> load_with(const std::vector<uint8_t>& log) {
    write_bytes(wal, log);
    return Segment::load(snap);
  }
};

TEST(WalReplay, AppliesEveryRecordKindInOrder) {
  LoggedSegment t;
  LogBuilder log;
  log.add(insert_record(2, {2, 2, 2}, payload_of({{"k", int_value(1)}})))
      .add(insert_record(3, {3, 3, 3}))
      .add(insert_record(1, {9, 9, 9}))  // already present: tolerated, no change
      .add(update_record(3, payload_of({{"k", int_value(2)}})))
      .add(delete_record(2));
  auto seg = t.load_with(log.bytes());
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  const Segment& s = **seg;
  EXPECT_EQ(s.hnsw().len(), 3u);
  EXPECT_EQ(s.hnsw().vector_of(1)[0], 1.0f);
  EXPECT_EQ(s.deleted(), PointIdSet{2});
  EXPECT_EQ(s.payloads().size(), 1u);
  ASSERT_EQ(s.payload_index().at("k").size(), 1u);
  EXPECT_EQ(s.payload_index().at("k").at(int_value(2)), PointIdSet{3});
  EXPECT_EQ(s.next_id(), 4u);
  // The writer is attached after the replay: nothing was logged twice.
  ASSERT_NE(s.wal(), nullptr);
  EXPECT_EQ(read_bytes(t.wal), log.bytes());
}

TEST(WalReplay, ReportsWhereTheIntactRecordsEnd) {
  LoggedSegment t;
  LogBuilder log;
  log.add(insert_record(2, {2, 2, 2}));
  const uint64_t intact = log.size();
  log.add(delete_record(2));
  std::vector<uint8_t> bytes = log.bytes();
  bytes.pop_back();
  write_bytes(t.wal, bytes);

  auto seg = Segment::from_snapshot(empty_snapshot(3));
  ASSERT_TRUE(seg.ok());
  auto replay = replay_wal(t.wal, **seg);
  ASSERT_TRUE(replay.ok()) << replay.error().message();
  EXPECT_EQ(replay->records, 1u);
  EXPECT_EQ(replay->intact_end, intact);
  EXPECT_EQ(replay->file_len, bytes.size());
  EXPECT_TRUE(replay->torn());
  EXPECT_TRUE((*seg)->deleted().empty());

  auto missing = replay_wal(t.dir.file("none.wal"), **seg);
  ASSERT_TRUE(missing.ok());
  EXPECT_EQ(missing->records, 0u);
}

class WalAutoReplay : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(WalAutoReplay, SwitchDecidesWhetherTheLogIsReplayedAndOpened) {
  auto [value, replayed] = GetParam();
  ScopedEnv env("VECTORDB_WAL_AUTO_REPLAY", value);
  LoggedSegment t;
  auto seg = t.load_with(LogBuilder().add(insert_record(2, {2, 2, 2})).bytes());
  ASSERT_TRUE(seg.ok());
  EXPECT_EQ((*seg)->hnsw().contains(2), replayed);
  EXPECT_EQ((*seg)->wal() != nullptr, replayed);
}

INSTANTIATE_TEST_SUITE_P(Values, WalAutoReplay,
                         ::testing::Values(std::make_pair("0", false), std::make_pair("False", false),
                                           std::make_pair("false", false),
                                           std::make_pair(static_cast<const char*>(nullptr), true),
                                           std::make_pair("no", true), std::make_pair("off", true),
                                           std::make_pair("", true), std::make_pair("1", true)));

TEST(WalReplay, LogPathOfASnapshotWithoutExtension) {
  TempDir dir;
  write_snapshot(dir.file("seg"), empty_snapshot(3));
  write_bytes(dir.file("seg.wal"), LogBuilder().add(insert_record(4, {1, 2, 3})).bytes());
  auto seg = Segment::load(dir.file("seg"));
  ASSERT_TRUE(seg.ok());
  EXPECT_TRUE((*seg)->hnsw().contains(4));
}

TEST(WalReplay, WriterPolicyComesFromTheEnvironmentAtLoad) {
  LoggedSegment t;
  {
    ScopedEnv every("VECTORDB_WAL_FSYNC_EVERY", "1_000");
    ScopedEnv ms("VECTORDB_WAL_FSYNC_MS", "0");
    ScopedEnv fsync("VECTORDB_WAL_FSYNC", "false");
    auto seg = t.load_with(LogBuilder().bytes());
    ASSERT_TRUE(seg.ok());
    EXPECT_EQ((*seg)->wal()->policy().fsync_every, 1000u);
    EXPECT_EQ((*seg)->wal()->policy().fsync_interval.count(), 0);
    EXPECT_FALSE((*seg)->wal()->policy().fsync);
  }
  ScopedEnv every("VECTORDB_WAL_FSYNC_EVERY", "0");
  auto seg = t.load_with(LogBuilder().bytes());
  ASSERT_TRUE(seg.ok());
  EXPECT_EQ((*seg)->wal()->policy().fsync_every, 1u);
  EXPECT_TRUE((*seg)->wal()->policy().fsync);
}

// Logs of 0 to 7 bytes replay as empty; the writer still opens, and the
// first append starts the file afresh so the log stays readable.
class WalShortHeader : public ::testing::TestWithParam<size_t> {};

TEST_P(WalShortHeader, ReplaysAsEmptyAndRepairsTheHeaderOnAppend) {
  const size_t n = GetParam();
  LoggedSegment t;
  std::vector<uint8_t> header = LogBuilder().bytes();
  header.resize(n);
  auto seg = t.load_with(header);
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  ASSERT_NE((*seg)->wal(), nullptr);
  EXPECT_EQ(file_size(t.wal), n == 0 ? 8u : n);  // loading alone adds nothing but a new header

  ASSERT_TRUE((*seg)->insert(5, {5, 5, 5}, std::nullopt, kCall).ok());
  seg.value().reset();
  auto again = Segment::load(t.snap);
  ASSERT_TRUE(again.ok()) << again.error().message();
  EXPECT_TRUE((*again)->hnsw().contains(5));
}

INSTANTIATE_TEST_SUITE_P(Lengths, WalShortHeader, ::testing::Range<size_t>(0, 9));

// A log cut anywhere inside its last record loads the records before it;
// the next append cuts the torn bytes so later loads read the new record.
TEST(WalReplay, TornLastRecordAtEveryOffsetIsDroppedAndCut) {
  LogBuilder log;
  log.add(insert_record(2, {2, 2, 2}));
  const size_t intact = log.size();
  log.add(insert_record(3, {3, 3, 3}, payload_of({{"k", str_value("torn")}})));
  for (size_t cut = intact; cut < log.size(); ++cut) {
    SCOPED_TRACE(cut);
    LoggedSegment t;
    std::vector<uint8_t> bytes(log.bytes().begin(), log.bytes().begin() + cut);
    auto seg = t.load_with(bytes);
    ASSERT_TRUE(seg.ok()) << seg.error().message();
    EXPECT_TRUE((*seg)->hnsw().contains(2));
    EXPECT_FALSE((*seg)->hnsw().contains(3));
    EXPECT_EQ(file_size(t.wal), cut);

    ASSERT_TRUE((*seg)->insert(4, {4, 4, 4}, std::nullopt, kCall).ok());
    EXPECT_EQ(file_size(t.wal), intact + 4 + 33 + 4);
    seg.value().reset();
    auto again = Segment::load(t.snap);
    ASSERT_TRUE(again.ok()) << again.error().message();
    EXPECT_TRUE((*again)->hnsw().contains(2));
    EXPECT_FALSE((*again)->hnsw().contains(3));
    EXPECT_TRUE((*again)->hnsw().contains(4));
  }
}

TEST(WalReplay, TailIsLeftAloneWhenTheFileChangedSinceReplay) {
  LoggedSegment t;
  LogBuilder log;
  log.add(insert_record(2, {2, 2, 2}));
  std::vector<uint8_t> torn = log.bytes();
  torn.push_back(0x07);  // first byte of a length
  auto seg = t.load_with(torn);
  ASSERT_TRUE(seg.ok());
  // Another writer completed the record meanwhile.
  log.add(insert_record(3, {3, 3, 3}));
  write_bytes(t.wal, log.bytes());
  ASSERT_TRUE((*seg)->insert(4, {4, 4, 4}, std::nullopt, kCall).ok());
  EXPECT_EQ(file_size(t.wal), log.size() + 4 + 33 + 4);
}

std::vector<uint8_t> u32_bytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

struct CorruptCase {
  const char* name;
  std::vector<uint8_t> log;
  std::string message;
};

std::vector<CorruptCase> corrupt_cases() {
  std::vector<uint8_t> bad_magic = {'V', 'D', 'B', 'X', 1, 0, 0, 0};
  std::vector<uint8_t> version2 = {'V', 'D', 'B', 'W', 2, 0, 0, 0};
  std::vector<uint8_t> body;
  encode_wal_record(delete_record(9), body);
  std::vector<uint8_t> kind3 = u32_bytes(3);
  kind3.resize(12, 0);
  return {
      {"magic", bad_magic, "WAL corruption: missing WAL header"},
      {"version", version2, "WAL corruption: unsupported WAL version 2"},
      {"checksum", LogBuilder().add(insert_record(2, {2, 2, 2})).frame(body, 12345).bytes(),
       "WAL corruption: checksum mismatch"},
      {"empty_body_checksum_1", LogBuilder().frame({}, 1).bytes(),
       "Serialization error: io error: unexpected end of file"},
      {"empty_body_checksum_0", LogBuilder().frame({}, 0).bytes(), "WAL corruption: checksum mismatch"},
      {"kind_3", LogBuilder().frame(kind3, adler32(kind3.data(), kind3.size())).bytes(),
       "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"update_deleted",
       LogBuilder().add(insert_record(5, {5, 5, 5})).add(delete_record(5)).add(update_record(5, {})).bytes(),
       "Point with ID 5 not found"},
      {"update_unknown", LogBuilder().add(update_record(6, {})).bytes(), "Point with ID 6 not found"},
      {"wrong_length", LogBuilder().add(insert_record(7, {1, 2})).bytes(),
       "Vector length mismatch: expected 3, got 2"},
  };
}

class WalCorruption : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(WalCorruption, FailsTheLoadWithItsText) {
  LoggedSegment t;
  auto seg = t.load_with(GetParam().log);
  ASSERT_FALSE(seg.ok());
  EXPECT_EQ(seg.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, WalCorruption, ::testing::ValuesIn(corrupt_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A loaded index takes the segment's graph as is when nothing was replayed,
// and an export restored otherwise; either way it answers exactly as a
// restore of the segment's export does (ids, raw scores, order).
TEST(ReleaseGraph, AnswersAsARestoredExportWithAndWithoutALog) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kEuclidean}) {
    for (int log_kind = 0; log_kind < 3; ++log_kind) {  // none, header only, records
      TempDir dir;
      const std::string snap = dir.file("seg.snap");
      hnsw::HnswIndex built(metric, 8, 40, 4, 6);
      std::mt19937 rng(7);
      std::normal_distribution<float> nd;
      auto vec = [&] {
        std::vector<float> v(6);
        for (float& x : v) x = nd(rng);
        return v;
      };
      for (uint64_t id = 0; id < 300; ++id) ASSERT_TRUE(built.insert(id, vec()).ok());
      built.mark_deleted(5);
      SegmentSnapshot s;
      s.hnsw = hnsw::export_snapshot(built);
      s.deleted = PointIdSet{5};
      s.next_id = 300;
      write_snapshot(snap, s);
      LogBuilder log;
      if (log_kind == 2) log.add(insert_record(400, vec())).add(delete_record(17)).add(insert_record(401, vec()));
      if (log_kind > 0) write_bytes(dir.file("seg.wal"), log.bytes());

      // Replayed inserts draw random levels, so both sides come from one load.
      auto a = Segment::load(snap);
      ASSERT_TRUE(a.ok());
      EXPECT_EQ((*a)->replayed_records(), log_kind == 2 ? 3u : 0u);
      auto copied = hnsw::restore(hnsw::export_snapshot((*a)->hnsw()));
      auto handed = (*a)->release_graph();
      ASSERT_TRUE(handed.ok() && copied.ok());
      (*handed)->freeze();
      std::vector<hnsw::ScoredNode> x, y;
      for (int q = 0; q < 20; ++q) {
        std::vector<float> query = vec();
        ASSERT_TRUE((*handed)->search(query, 10, {}, x).ok());
        ASSERT_TRUE((*copied)->search(query, 10, {}, y).ok());
        ASSERT_EQ(x.size(), y.size());
        for (size_t i = 0; i < x.size(); ++i) {
          EXPECT_EQ(x[i].node, y[i].node) << metric_name(metric) << " log " << log_kind;
          EXPECT_EQ(x[i].raw, y[i].raw) << metric_name(metric) << " log " << log_kind << " q " << q << " i " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace ulmora
