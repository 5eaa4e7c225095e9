// LiveSegment: read-only opens and their refresh, delete by filter, and the
// filter keys chosen at open.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <thread>

#include "base/file.h"
#include "segment/compaction.h"
#include "segment/live.h"
#include "segment/segment_files.h"
#include "segment/wal_writer.h"

namespace ulmora {

StoreError read_only_error(const std::string& op) {
  return StoreError::ReadOnly(op + "() is refused: the segment is open read-only");
}

namespace {

struct PinnedLoad {
  std::unique_ptr<Segment> seg;
  SnapshotPin pin;
};

// A read-only load with the snapshot it read held open: the pin is taken
// before the load and still names the file after it, so it is the file
// the load read.
Result<PinnedLoad> load_pinned(const std::string& file, bool freeze) {
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    auto pin = SnapshotPin::take(file);
    if (!pin.ok()) return pin.error();
    auto loaded = Segment::load_readonly(file, freeze);
    if (!pin->still_named()) continue;
    if (!loaded.ok()) return loaded.error();
    return PinnedLoad{std::move(loaded.value()), std::move(pin.value())};
  }
  return replaced_during_load_error(file);
}

}  // namespace

Result<std::unique_ptr<LiveSegment>> LiveSegment::open_readonly(const std::string& path) {
  if (!file::exists(path)) return io_error(ENOENT);
  const std::string target = segment_file_path(path);
  auto loaded = load_pinned(target, /*freeze=*/true);
  if (!loaded.ok()) return loaded.error();
  std::unique_ptr<LiveSegment> live(new LiveSegment());
  live->path_ = path;
  live->file_ = target;
  live->log_end_ = loaded->seg->replayed_log_end();
  live->seg_ = std::move(loaded->seg);
  live->pin_.emplace(std::move(loaded->pin));
  live->read_only_ = true;
  return live;
}

Result<bool> LiveSegment::tail_log() {
  if (!pin_) return false;
  auto log = file::File::open(wal_path_for(file_), O_RDONLY);
  if (!log.ok() && file::exists(wal_path_for(file_))) return log.error();
  // Checked after the open: compaction renames the snapshot before the log,
  // so an unchanged snapshot means the log opened is the one loaded.
  if (!pin_->unchanged()) return false;
  if (!log.ok()) return log_end_ == 0;  // no log then or now: nothing new
  auto size = log->size();
  if (!size.ok()) return size.error();
  if (*size == log_end_) return true;
  if (*size < log_end_) return false;
  {
    auto reader = read();
    if (reader.segment() == nullptr) return closed_error();
    if (reader.segment()->hnsw().frozen()) {
      follows_ = true;  // from now on loaded unfrozen
      return false;
    }
  }
  uint64_t end = 0;
  auto records = read_wal_from(*log, log_end_, &end);
  if (!records.ok()) return records.error();
  if (records->empty()) return true;  // only a record still being written
  std::unique_lock<WriterFirstMutex> excl(mu_);
  if (!seg_) return closed_error();
  Status applied = apply_wal_records(*seg_, *records);
  if (!applied.ok()) {
    pin_.reset();  // part of the records applied: the next refresh loads afresh
    return applied.error();
  }
  seg_->code_new_nodes();
  log_end_ = end;
  return true;
}

Status LiveSegment::refresh() {
  std::lock_guard<std::mutex> one_at_a_time(refresh_mu_);
  bool sq8 = false;
  {
    auto reader = read();
    if (reader.segment() == nullptr) return closed_error();
    if (!read_only_) return Status::Ok();
    sq8 = reader.segment()->sq8_enabled();
  }
  auto tailed = tail_log();
  if (!tailed.ok()) return tailed.error();
  if (*tailed) return Status::Ok();
  // Loaded without the lock: searches go on against the old segment.
  auto fresh = load_pinned(file_, /*freeze=*/!follows_);
  if (!fresh.ok()) return fresh.error();
  if (sq8) fresh->seg->enable_sq8();  // codes before it is shared
  const uint64_t end = fresh->seg->replayed_log_end();
  std::unique_ptr<Segment> old;
  {
    std::unique_lock<WriterFirstMutex> guard(mu_);
    if (!seg_) return closed_error();
    old = std::move(seg_);
    seg_ = std::move(fresh->seg);
  }
  log_end_ = end;
  pin_.emplace(std::move(fresh->pin));
  return Status::Ok();  // the old segment is freed here, outside the lock
}

Result<uint64_t> LiveSegment::remove_matching(const Filter& filter) {
  std::lock_guard<std::mutex> writing(writer_mu_);
  ULMORA_TRY(writable("delete"));
  // One exclusive section: the match set, the log and the deletes see the
  // same segment.
  std::unique_lock<WriterFirstMutex> excl(mu_);
  Segment& seg = *seg_;
  auto matches = match_set(filter, seg);
  if (!matches.ok()) return matches.error();
  std::vector<WalRecord> records;
  records.reserve(matches->size());
  matches->for_each([&](uint64_t node) {
    WalRecord r;
    r.kind = WalRecord::kDelete;
    r.point_id = seg.hnsw().point_id(node);
    records.push_back(std::move(r));
  });
  ULMORA_TRY(seg.wal()->append_batch(records));
  record_changes(records);
  for (const WalRecord& r : records) {
    ULMORA_TRY(seg.remove(r.point_id, Segment::Source::kReplay, Segment::Purge::kNever));
  }
  return static_cast<uint64_t>(records.size());
}

Status LiveSegment::adopt_filter_keys(const std::vector<std::string>& keys) {
  std::set<std::string> wanted(keys.begin(), keys.end());
  {
    std::lock_guard<std::mutex> writing(writer_mu_);
    std::unique_lock<WriterFirstMutex> excl(mu_);
    if (seg_->filter_keys() == wanted) return Status::Ok();
    seg_->set_filter_keys(wanted);
  }
  // The compaction's fresh segment takes the keys, links every point's
  // edges for them and writes them into the new snapshot.
  return compact(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace ulmora
