// Tests of a segment's files: loads that meet a compaction between reading
// the snapshot and opening the log start again (streamed and whole-file
// snapshots, Segment::load and inspect), one lock and one log for every
// name of a segment, and a build over a segment with a log leaving the old
// segment or the new one after a failure at any file operation.
#include "segment/segment_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "segment/builder.h"
#include "segment/inspect.h"
#include "segment/live.h"
#include "segment/live_test_util.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"

namespace ulmora {
namespace {

using namespace testing_util;
namespace fs = std::filesystem;

constexpr uint64_t kDim = 4;

Status build(const std::string& path, uint64_t rows, uint32_t seed) {
  std::vector<float> v = random_rows(rows, kDim, seed);
  std::vector<std::optional<Payload>> payloads(rows);
  for (uint64_t i = 0; i < rows; i += 2) payloads[i] = payload_of({{"n", int_value(static_cast<int64_t>(i))}});
  return build_file(path, small_request(v.data(), rows, kDim, &payloads));
}

// Five inserts, a payload update of point `id`, then deletes of `id` and
// `id` + 1.
void mutate(LiveSegment& live, uint32_t seed, uint64_t id = 2) {
  std::vector<float> v = random_rows(5, kDim, seed);
  LiveSegment::InsertBatch b{v.data(), 5, kDim, {}, nullptr, 1};
  ASSERT_TRUE(live.insert(b).ok());
  ASSERT_TRUE(live.update_payload(id, payload_of({{"u", int_value(1)}})).ok());
  ASSERT_TRUE(live.remove(std::vector<uint64_t>{id, id + 1}).ok());
}

// Replaces `path` by a rename (a new inode), bypassing the fault seam.
void put(const std::string& path, const std::vector<uint8_t>& bytes) {
  write_bytes(path + ".swap", bytes);
  fs::rename(path + ".swap", path);
}

// A segment whose log holds records, and the pair a compaction of it
// leaves: the state a load must see whichever it reads.
struct Compacted {
  TempDir dir;
  std::string path, wal;
  std::vector<uint8_t> snapshot, log;  // the compacted pair
  State state;

  explicit Compacted(SnapshotForm form) {
    path = segment_file_path(dir.file("seg.snap"));
    wal = wal_path_for(path);
    EXPECT_TRUE(build(path, 30, 1).ok());
    {
      // The form the first load reads (unversioned: the whole-file path).
      auto seg = Segment::load_snapshot(path);
      EXPECT_TRUE(seg.ok());
      SnapshotWriteOptions wo;
      wo.form = form;
      write_snapshot(path, (*seg)->to_snapshot(), wo);
    }
    auto live = open_live(path);
    mutate(*live, 2);
    live.reset();
    state = loaded_state(path);
    const std::string other = dir.file("other.snap");
    fs::copy_file(path, other);
    fs::copy_file(wal, wal_path_for(other));
    auto copy = open_live(other);
    EXPECT_TRUE(copy->compact(1).ok());
    copy.reset();
    snapshot = read_bytes(other);
    log = read_bytes(wal_path_for(other));
    EXPECT_EQ(log.size(), kWalHeaderSize);
  }

  // The compaction's renames run right before the load opens the log,
  // `times` times (every time when negative).
  void swap_before_log_open(int times) {
    file::set_fault_hook([this, times, n = 0](file::Op op, const std::string& p, uint64_t) mutable {
      if (op == file::Op::kOpen && p == wal && (times < 0 || n < times)) {
        ++n;
        put(path, snapshot);
        put(wal, log);
      }
      return file::Fault{};
    });
  }
};

class ConsistentLoad : public ::testing::TestWithParam<SnapshotForm> {};

TEST_P(ConsistentLoad, ALoadMeetingACompactionStartsAgain) {
  Compacted c(GetParam());
  c.swap_before_log_open(1);
  State seen = loaded_state(c.path);
  file::set_fault_hook({});
  EXPECT_EQ(seen, c.state);
  EXPECT_EQ(read_bytes(c.path), c.snapshot);  // the swap did happen

  Compacted d(GetParam());
  d.swap_before_log_open(1);
  auto found = inspect(d.path);
  file::set_fault_hook({});
  ASSERT_TRUE(found.ok()) << found.error().message();
  EXPECT_EQ(found->first.points - found->first.deleted, d.state.points.size());
  EXPECT_EQ(found->first.next_id, d.state.next_id);
  EXPECT_EQ(found->second.log_records, 0u);
}

TEST_P(ConsistentLoad, GivesUpWhenEveryAttemptMeetsOne) {
  Compacted c(GetParam());
  c.swap_before_log_open(-1);
  auto seg = Segment::load(c.path);
  auto found = inspect(c.path);
  file::set_fault_hook({});
  const std::string text = replaced_during_load_error(c.path).message();
  ASSERT_FALSE(seg.ok());
  EXPECT_EQ(seg.error().message(), text);
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error().message(), text);
  EXPECT_EQ(loaded_state(c.path), c.state);
}

INSTANTIATE_TEST_SUITE_P(Forms, ConsistentLoad,
                         ::testing::Values(SnapshotForm::kVersion3, SnapshotForm::kUnversioned));

TEST(SegmentFilePath, ResolvesLinksAndNamesNotThereYet) {
  TempDir dir;
  const std::string real = segment_file_path(dir.file("a.snap"));
  write_bytes(real, {1});
  fs::create_directory(dir.file("sub"));
  fs::create_symlink(real, dir.file("link.snap"));
  fs::create_directory_symlink(dir.file("sub"), dir.file("dirlink"));
  EXPECT_EQ(segment_file_path(dir.file("link.snap")), real);
  EXPECT_EQ(segment_file_path(dir.file("sub/../a.snap")), real);
  EXPECT_EQ(segment_file_path(dir.file("dirlink/new.snap")), segment_file_path(dir.file("sub")) + "/new.snap");
  EXPECT_EQ(segment_file_path(dir.file("none/x.snap")), dir.file("none/x.snap"));
  EXPECT_EQ(segment_file_path(""), "");
}

TEST(SegmentFilePath, OneWriterAndOneLogWhateverTheName) {
  TempDir dir;
  const std::string real = segment_file_path(dir.file("seg.snap"));
  ASSERT_TRUE(build(real, 20, 3).ok());
  const std::string link = dir.file("link.snap");
  fs::create_symlink(real, link);
  fs::create_directory_symlink(fs::path(real).parent_path(), dir.file("dirlink"));
  const std::string via_dir = dir.file("dirlink/seg.snap");
  {
    auto live = open_live(real);
    for (const std::string& other : {link, via_dir}) {
      bool busy = false;
      auto second = LiveSegment::open(other, &busy);
      ASSERT_FALSE(second.ok()) << other;
      EXPECT_TRUE(busy);
      EXPECT_EQ(second.error().text(), "segment " + other + " is open for writing by another process or handle");
    }
  }
  {
    auto live = open_live(link);
    EXPECT_EQ(live->path(), link);
    EXPECT_EQ(live->file_path(), real);
    mutate(*live, 4);
    ASSERT_TRUE(live->compact(1).ok());
    mutate(*live, 5, 6);  // ids 25..29 after the compaction
  }
  EXPECT_FALSE(file::exists(wal_path_for(link)));
  EXPECT_FALSE(file::exists(link + ".lock"));
  EXPECT_TRUE(fs::is_symlink(link));  // compaction replaced the file, not the link
  const State state = loaded_state(real);
  EXPECT_EQ(state.next_id, 30u);
  EXPECT_EQ(loaded_state(link), state);
  EXPECT_EQ(loaded_state(via_dir), state);
  auto found = inspect(link);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->second.log_path, wal_path_for(real));
  EXPECT_GT(found->second.log_records, 0u);

  // A build through the link writes the file it names.
  ASSERT_TRUE(build(link, 7, 6).ok());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(loaded_state(real).points.size(), 7u);
  EXPECT_FALSE(file::exists(wal_path_for(real)));
}

// A build over a segment whose log holds records, with the n-th file
// operation failing, for every n: the files load to the old state or the
// new one, and once every operation ran, to the new one with no log.
TEST(ReplaceSegment, AFailureAtAnyFileOperationLeavesOldOrNew) {
  TempDir dir;
  const std::string pristine = segment_file_path(dir.file("pristine.snap"));
  ASSERT_TRUE(build(pristine, 30, 7).ok());
  {
    auto live = open_live(pristine);
    mutate(*live, 8);
  }
  const State old_state = loaded_state(pristine);
  const State new_state = [&] {
    const std::string p = dir.file("new.snap");
    EXPECT_TRUE(build(p, 12, 9).ok());
    return loaded_state(p);
  }();
  uint64_t ops = 0;
  for (uint64_t n = 1; ops == 0; ++n) {
    const std::string path = segment_file_path(dir.file("case" + std::to_string(n) + ".snap"));
    fs::copy_file(pristine, path);
    fs::copy_file(wal_path_for(pristine), wal_path_for(path));
    std::vector<float> v = random_rows(12, kDim, 9);
    std::vector<std::optional<Payload>> payloads(12);
    for (uint64_t i = 0; i < 12; i += 2) payloads[i] = payload_of({{"n", int_value(static_cast<int64_t>(i))}});
    BuildRequest request;
    request.vectors = v.data();
    request.rows = 12;
    request.dim = kDim;
    request.payloads = &payloads;
    request.metric = Metric::kEuclidean;
    request.m = 8;
    request.ef_construction = 32;
    uint64_t seen = 0;
    file::set_fault_hook([&](file::Op, const std::string&, uint64_t) {
      return ++seen == n ? file::Fault{file::Fault::kFail, EIO} : file::Fault{};
    });
    bool busy = false;
    auto built = build_segment(path, request, nullptr, &busy);
    file::set_fault_hook({});
    const State after = loaded_state(path);
    if (seen < n) {  // every operation ran
      ASSERT_TRUE(built.ok()) << built.error().message();
      EXPECT_EQ(after, new_state);
      EXPECT_FALSE(file::exists(wal_path_for(path)));
      ops = seen;
    } else {
      EXPECT_TRUE(after == old_state || after == new_state) << "fault at op " << n;
    }
  }
  EXPECT_GE(ops, 12u);
}

// An old segment that does not load has its log removed before the new
// snapshot comes in, as before.
TEST(ReplaceSegment, AnUnloadableOldSegmentIsStillReplaced) {
  TempDir dir;
  const std::string path = segment_file_path(dir.file("seg.snap"));
  ASSERT_TRUE(build(path, 20, 10).ok());
  {
    auto live = open_live(path);
    mutate(*live, 11);
  }
  write_bytes(path, {1, 2, 3});
  ASSERT_TRUE(build(path, 6, 12).ok());
  EXPECT_EQ(loaded_state(path).points.size(), 6u);
  EXPECT_FALSE(file::exists(wal_path_for(path)));
}

}  // namespace
}  // namespace ulmora
