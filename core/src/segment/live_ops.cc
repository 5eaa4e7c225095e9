// LiveSegment: read-only opens and their refresh, delete by filter, and the
// filter keys chosen at open.
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

Result<std::unique_ptr<LiveSegment>> LiveSegment::open_readonly(const std::string& path) {
  if (!file::exists(path)) return io_error(ENOENT);
  const std::string target = segment_file_path(path);
  auto loaded = Segment::load_readonly(target);
  if (!loaded.ok()) return loaded.error();
  std::unique_ptr<LiveSegment> live(new LiveSegment());
  live->path_ = path;
  live->file_ = target;
  live->seg_ = std::move(loaded.value());
  live->read_only_ = true;
  return live;
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
  // Loaded without the lock: searches go on against the old segment.
  auto fresh = Segment::load_readonly(file_);
  if (!fresh.ok()) return fresh.error();
  if (sq8) fresh.value()->enable_sq8();  // codes before it is shared
  std::unique_ptr<Segment> old;
  {
    std::unique_lock<WriterFirstMutex> guard(mu_);
    if (!seg_) return closed_error();
    old = std::move(seg_);
    seg_ = std::move(fresh.value());
  }
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
