// LiveSegment::compact: the purged graph is built beside searches and
// mutations; the changes made meanwhile are recorded by the mutations
// (record_changes) and carried into it; mutations are held off only while
// the survivors are taken and while the files are swapped (compaction.h).
#include <chrono>
#include <mutex>

#include "base/file.h"
#include "segment/compaction.h"
#include "segment/live.h"
#include "segment/wal_writer.h"

namespace ulmora {

namespace {

// Catch-up rounds run beside mutations while each one still finds at least
// this many records; what is left then is applied with mutations held off.
constexpr size_t kFewChanges = 64;
constexpr int kMaxRounds = 8;

uint64_t now_ms() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

}  // namespace

Status LiveSegment::stop_recording(Status s) {
  std::lock_guard<std::mutex> writing(writer_mu_);
  recording_ = false;
  changes_ = {};
  return s;
}

namespace {
// Stops the recording however compact() ends.
template <class F>
struct AtExit {
  F f;
  ~AtExit() { f(); }
};
template <class F>
AtExit(F) -> AtExit<F>;
}  // namespace

Status LiveSegment::compact(uint64_t threads) {
  if (read_only_) return read_only_error("compact");
  std::lock_guard<std::mutex> one(compact_mu_);
  const std::string snap_temp = file_ + ".tmp.compact";
  Segment* old = nullptr;
  Survivors survivors;
  uint64_t from = 0;
  {
    // The state the new snapshot holds, and where its log starts.
    std::lock_guard<std::mutex> writing(writer_mu_);
    if (!seg_) return closed_error();
    if (!seg_->wal()) ULMORA_TRY(writable("compact"));
    ULMORA_TRY(seg_->wal()->flush());
    auto end = seg_->wal()->end_offset();
    if (!end.ok()) return end.error();
    from = *end;
    old = seg_.get();  // stays: only compaction replaces it, and close() waits for this one
    survivors = survivors_of(*old);
    recording_ = true;
  }
  AtExit stop{[this] { (void)stop_recording(Status::Ok()); }};
  auto fresh = purged_copy(old->hnsw(), std::move(survivors), threads);
  if (!fresh.ok()) return fresh.error();
  ULMORA_TRY(write_compacted(**fresh, snap_temp));
  auto give_up = [&](Status s) {
    (void)file::remove(snap_temp);
    return s;
  };
  // Changes made meanwhile, in rounds beside the mutations that make more.
  for (int round = 0; round < kMaxRounds; ++round) {
    std::vector<WalRecord> batch;
    {
      std::lock_guard<std::mutex> writing(writer_mu_);
      batch.swap(changes_);
    }
    const size_t n = batch.size();
    if (Status s = apply_changes(**fresh, std::move(batch), threads); !s.ok()) return give_up(s);
    if (n < kFewChanges) break;
  }
  // The rest, and the files, with mutations held off.
  std::unique_ptr<Segment> retired;
  Status s;
  {
    std::lock_guard<std::mutex> writing(writer_mu_);
    recording_ = false;
    std::vector<WalRecord> rest;
    rest.swap(changes_);
    s = apply_changes(**fresh, std::move(rest), threads);
    if (!s.ok()) return give_up(s);
    s = install(std::move(fresh.value()), from, retired);
  }
  retired.reset();  // the old graph is freed outside every lock
  return s;
}

Status LiveSegment::write_compacted(const Segment& fresh, const std::string& temp) {
  SnapshotWriteOptions wo;
  wo.created_at_ms = now_ms();
  const std::vector<uint8_t> bytes = encode_snapshot_file(fresh.to_snapshot(), wo);
  return write_synced(temp, bytes);
}

// Searches go on while the graph is rebuilt; they wait only for the swap.
// The new log starts empty: nothing was logged after `from`.
Status LiveSegment::compact_held(uint64_t threads) {
  ULMORA_TRY(seg_->wal()->flush());
  auto end = seg_->wal()->end_offset();
  if (!end.ok()) return end.error();
  auto fresh = purged_copy(*seg_, threads);
  if (!fresh.ok()) return fresh.error();
  ULMORA_TRY(write_compacted(**fresh, file_ + ".tmp.compact"));
  std::unique_ptr<Segment> retired;
  return install(std::move(fresh.value()), *end, retired);
}

// Holding writer_mu_: the file steps, then the compacted segment in place
// (mu_ exclusive) once its snapshot is, and a writer on whatever log is in
// place.
Status LiveSegment::install(std::unique_ptr<Segment> fresh, uint64_t from, std::unique_ptr<Segment>& retired) {
  bool replaced = false;
  Status s = install_compacted(file_, *seg_, from, &replaced);
  if (replaced) {
    if (seg_->unloaded()) fresh->mark_unloaded();
    std::unique_lock<WriterFirstMutex> excl(mu_);
    retired = std::move(seg_);
    seg_ = std::move(fresh);
  }
  if (!seg_->wal()) {
    auto writer = WalWriter::open(wal_path_for(file_), WalSyncPolicy::from_env());
    if (!writer.ok()) return s.ok() ? Status(writer.error()) : s;
    seg_->attach_wal(std::move(writer.value()));
  }
  return s;
}

}  // namespace ulmora
