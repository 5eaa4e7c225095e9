#include "segment/wal_writer.h"

#include <gtest/gtest.h>

#include "segment/store_test_util.h"

namespace ulmora {
namespace {

using namespace testing_util;

WalSyncPolicy policy(bool fsync, uint64_t every, int64_t interval_ms = 0) {
  WalSyncPolicy p;
  p.fsync = fsync;
  p.fsync_every = every;
  p.fsync_interval = std::chrono::milliseconds(interval_ms);
  return p;
}

TEST(WalWriter, FramesDeleteAndInsertBodiesAtTheirExactSizes) {
  TempDir dir;
  std::string path = dir.file("seg.wal");
  auto w = WalWriter::open(path, policy(false, 1));
  ASSERT_TRUE(w.ok()) << w.error().message();
  EXPECT_EQ(file_size(path), 8u);

  ASSERT_TRUE((*w)->append(delete_record(7)).ok());
  EXPECT_EQ(file_size(path), 8u + 4 + 12 + 4);
  ASSERT_TRUE((*w)->append(insert_record(9, {1, 2, 3})).ok());
  EXPECT_EQ(file_size(path), 28u + 4 + 33 + 4);

  // Length prefix, body and checksum as framed by hand.
  LogBuilder expected;
  expected.add(delete_record(7)).add(insert_record(9, {1, 2, 3}));
  EXPECT_EQ(read_bytes(path), expected.bytes());
}

struct HeaderCase {
  size_t existing;  // bytes already in the file (taken from a valid log)
  uint64_t after_open;
};

class WalWriterHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(WalWriterHeader, OnlyAnEmptyFileGetsTheHeader) {
  TempDir dir;
  std::string path = dir.file("seg.wal");
  std::vector<uint8_t> log = LogBuilder().bytes();
  write_bytes(path, std::vector<uint8_t>(log.begin(), log.begin() + GetParam().existing));
  auto w = WalWriter::open(path, policy(true, 100));
  ASSERT_TRUE(w.ok()) << w.error().message();
  EXPECT_EQ(file_size(path), GetParam().after_open);
  EXPECT_EQ((*w)->sync_count(), GetParam().existing == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WalWriterHeader,
                         ::testing::Values(HeaderCase{0, 8}, HeaderCase{5, 5}, HeaderCase{8, 8}));

TEST(WalWriter, CreatesAMissingFile) {
  TempDir dir;
  std::string path = dir.file("new.wal");
  auto w = WalWriter::open(path, policy(false, 1));
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(read_bytes(path), LogBuilder().bytes());
}

TEST(WalWriter, OpenFailureIsAnIoError) {
  auto w = WalWriter::open("/nonexistent-dir/seg.wal", policy(false, 1));
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().message(), "I/O error: No such file or directory (os error 2)");
}

struct FlushCase {
  bool fsync;
  uint64_t every;
  int appends;
  uint64_t flushes;  // by appends (the header flush not counted)
  uint64_t pending;
};

class WalWriterFlushCount : public ::testing::TestWithParam<FlushCase> {};

TEST_P(WalWriterFlushCount, FlushesAfterEveryNRecords) {
  const FlushCase& c = GetParam();
  TempDir dir;
  std::string path = dir.file("seg.wal");
  write_bytes(path, LogBuilder().bytes());  // header present: no header flush
  auto w = WalWriter::open(path, policy(c.fsync, c.every));
  ASSERT_TRUE(w.ok());
  for (int i = 0; i < c.appends; ++i) ASSERT_TRUE((*w)->append(delete_record(i)).ok());
  EXPECT_EQ((*w)->sync_count(), c.flushes);
  EXPECT_EQ((*w)->pending(), c.pending);
}

INSTANTIATE_TEST_SUITE_P(Policies, WalWriterFlushCount,
                         ::testing::Values(FlushCase{true, 1, 5, 5, 0}, FlushCase{true, 3, 7, 2, 1},
                                           FlushCase{true, 100, 99, 0, 99}, FlushCase{false, 1, 5, 0, 5},
                                           FlushCase{true, 0, 2, 2, 0}));

Instant fake_now_value;
Instant fake_now() { return fake_now_value; }

TEST(WalWriter, FlushesWhenTheIntervalHasPassed) {
  TempDir dir;
  std::string path = dir.file("seg.wal");
  write_bytes(path, LogBuilder().bytes());
  WalSyncPolicy p = policy(true, 100, 100);
  p.clock = &fake_now;
  fake_now_value = Instant{} + std::chrono::seconds(10);
  auto w = WalWriter::open(path, p);
  ASSERT_TRUE(w.ok());

  fake_now_value += std::chrono::milliseconds(99);
  ASSERT_TRUE((*w)->append(delete_record(1)).ok());
  EXPECT_EQ((*w)->sync_count(), 0u);
  fake_now_value += std::chrono::milliseconds(1);
  ASSERT_TRUE((*w)->append(delete_record(2)).ok());
  EXPECT_EQ((*w)->sync_count(), 1u);
  EXPECT_EQ((*w)->pending(), 0u);
  // The interval restarts at the flush.
  fake_now_value += std::chrono::milliseconds(50);
  ASSERT_TRUE((*w)->append(delete_record(3)).ok());
  EXPECT_EQ((*w)->sync_count(), 1u);
}

TEST(WalWriter, ZeroIntervalMeansNoTimeRule) {
  TempDir dir;
  std::string path = dir.file("seg.wal");
  write_bytes(path, LogBuilder().bytes());
  WalSyncPolicy p = policy(true, 100, 0);
  p.clock = &fake_now;
  auto w = WalWriter::open(path, p);
  ASSERT_TRUE(w.ok());
  fake_now_value += std::chrono::hours(1);
  ASSERT_TRUE((*w)->append(delete_record(1)).ok());
  EXPECT_EQ((*w)->sync_count(), 0u);
}

struct EnvPolicyCase {
  const char* fsync;
  const char* every;
  const char* ms;
  bool want_fsync;
  uint64_t want_every;
  int64_t want_ms;
};

class WalSyncPolicyEnv : public ::testing::TestWithParam<EnvPolicyCase> {};

TEST_P(WalSyncPolicyEnv, ReadsTheVariablesAtEveryCall) {
  const EnvPolicyCase& c = GetParam();
  ScopedEnv a("VECTORDB_WAL_FSYNC", c.fsync);
  ScopedEnv b("VECTORDB_WAL_FSYNC_EVERY", c.every);
  ScopedEnv d("VECTORDB_WAL_FSYNC_MS", c.ms);
  WalSyncPolicy p = WalSyncPolicy::from_env();
  EXPECT_EQ(p.fsync, c.want_fsync);
  EXPECT_EQ(p.fsync_every, c.want_every);
  EXPECT_EQ(p.fsync_interval.count(), c.want_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WalSyncPolicyEnv,
    ::testing::Values(EnvPolicyCase{nullptr, nullptr, nullptr, true, 100, 100},
                      EnvPolicyCase{"0", "0", "0", false, 1, 0},
                      EnvPolicyCase{"FALSE", "1_000", "250", false, 1000, 250},
                      EnvPolicyCase{"no", "1", "x", true, 1, 100},
                      EnvPolicyCase{"", "-3", "+7", true, 100, 7}));

TEST(WalWriter, EnvDrivenEveryRecordFlush) {
  ScopedEnv a("VECTORDB_WAL_FSYNC", nullptr);
  ScopedEnv b("VECTORDB_WAL_FSYNC_EVERY", "0");
  ScopedEnv c("VECTORDB_WAL_FSYNC_MS", nullptr);
  TempDir dir;
  std::string path = dir.file("seg.wal");
  write_bytes(path, LogBuilder().bytes());
  auto w = WalWriter::open(path, WalSyncPolicy::from_env());
  ASSERT_TRUE(w.ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE((*w)->append(delete_record(i)).ok());
  EXPECT_EQ((*w)->sync_count(), 3u);
}

TEST(WalWriter, RefusesBodiesThatDoNotFitTheLengthField) {
  auto fits = wal_frame_length(kMaxWalBody);
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(*fits, 0xFFFFFFFFu);
  auto too_big = wal_frame_length(kMaxWalBody + 1);
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().kind(), ErrorKind::kSerialization);
}

TEST(WalPath, ReplacesTheLastExtensionOfTheFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"seg.snap", "seg.wal"},           {"seg", "seg.wal"},
      {"dir/seg.tar.gz", "dir/seg.tar.wal"}, {"dir.d/seg", "dir.d/seg.wal"},
      {"dir/.hidden", "dir/.hidden.wal"},    {"seg.", "seg.wal"},
      {"/a/b/c.wal", "/a/b/c.wal"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(wal_path_for(in), out) << in;
}

}  // namespace
}  // namespace ulmora

namespace ulmora {
namespace {

using namespace testing_util;

// Fails (or half-writes) the n-th write of the log; all else runs.
struct WriteFault {
  file::Fault::Action action;
  int error;
};

class WalWriterRollback : public ::testing::TestWithParam<WriteFault> {
 protected:
  void TearDown() override { file::set_fault_hook({}); }
};

// A failed append leaves the file exactly as before it, so the next append
// follows whole records and a replay reads every acknowledged one.
TEST_P(WalWriterRollback, FailedAppendIsCutOffAndLaterAppendsFollowWholeRecords) {
  TempDir dir;
  const std::string path = dir.file("seg.wal");
  auto w = WalWriter::open(path, policy(false, 1));
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE((*w)->append(delete_record(1)).ok());
  const auto before = read_bytes(path);
  const WriteFault fault = GetParam();
  file::set_fault_hook([&](file::Op op, const std::string&, uint64_t) {
    return op == file::Op::kWrite ? file::Fault{fault.action, fault.error} : file::Fault{};
  });
  const std::vector<WalRecord> batch = {insert_record(2, {1, 2, 3}), delete_record(3)};
  EXPECT_FALSE((*w)->append(insert_record(2, {1, 2, 3})).ok());
  EXPECT_FALSE((*w)->append_batch(batch).ok());
  EXPECT_EQ(read_bytes(path), before);
  file::set_fault_hook({});
  ASSERT_TRUE((*w)->append_batch(batch).ok());
  LogBuilder expected;
  expected.add(delete_record(1)).add(insert_record(2, {1, 2, 3})).add(delete_record(3));
  EXPECT_EQ(read_bytes(path), expected.bytes());
}

INSTANTIATE_TEST_SUITE_P(Faults, WalWriterRollback,
                         ::testing::Values(WriteFault{file::Fault::kFail, ENOSPC},
                                           WriteFault{file::Fault::kShortWrite, ENOSPC},
                                           WriteFault{file::Fault::kShortWrite, EIO}),
                         [](const ::testing::TestParamInfo<WriteFault>& info) {
                           return std::string(info.param.action == file::Fault::kFail ? "Fail" : "ShortWrite") +
                                  (info.param.error == ENOSPC ? "Enospc" : "Eio");
                         });

TEST(WalWriter, RefusesAppendsWhenARollbackFails) {
  TempDir dir;
  const std::string path = dir.file("seg.wal");
  auto w = WalWriter::open(path, policy(false, 1));
  ASSERT_TRUE(w.ok());
  file::set_fault_hook([](file::Op op, const std::string&, uint64_t) {
    if (op == file::Op::kWrite) return file::Fault{file::Fault::kShortWrite, EIO};
    if (op == file::Op::kTruncate) return file::Fault{file::Fault::kFail, EIO};
    return file::Fault{};
  });
  EXPECT_FALSE((*w)->append(delete_record(1)).ok());
  file::set_fault_hook({});
  Status again = (*w)->append(delete_record(2));
  ASSERT_FALSE(again.ok());
  EXPECT_NE(again.error().message().find("refuses further appends"), std::string::npos) << again.error().message();
}

// A batch is one write call and, with fsync on, exactly one flush.
TEST(WalWriter, BatchIsOneWriteAndOneFlush) {
  TempDir dir;
  const std::string path = dir.file("seg.wal");
  auto w = WalWriter::open(path, policy(true, 1000, 0));
  ASSERT_TRUE(w.ok());
  const uint64_t syncs = (*w)->sync_count();
  uint64_t writes = 0;
  file::set_fault_hook([&](file::Op op, const std::string&, uint64_t) {
    if (op == file::Op::kWrite) ++writes;
    return file::Fault{};
  });
  std::vector<WalRecord> batch;
  for (uint64_t i = 0; i < 50; ++i) batch.push_back(insert_record(i, {1, 2}));
  ASSERT_TRUE((*w)->append_batch(batch).ok());
  file::set_fault_hook({});
  EXPECT_EQ(writes, 1u);
  EXPECT_EQ((*w)->sync_count(), syncs + 1);
  EXPECT_EQ((*w)->pending(), 0u);
}

}  // namespace
}  // namespace ulmora
