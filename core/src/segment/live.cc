#include "segment/live.h"

#include <cerrno>
#include <mutex>

#include "base/file.h"
#include "segment/segment_files.h"
#include "segment/wal_writer.h"

namespace ulmora {

StoreError closed_error() { return StoreError::InvalidPayload("segment is closed"); }

void WriterFirstMutex::lock() {
  std::unique_lock<std::mutex> g(mu_);
  ++writers_waiting_;
  cv_.wait(g, [&] { return !writing_ && readers_ == 0; });
  --writers_waiting_;
  writing_ = true;
}

void WriterFirstMutex::unlock() {
  {
    std::lock_guard<std::mutex> g(mu_);
    writing_ = false;
  }
  cv_.notify_all();
}

void WriterFirstMutex::lock_shared() {
  std::unique_lock<std::mutex> g(mu_);
  cv_.wait(g, [&] { return !writing_ && writers_waiting_ == 0; });
  ++readers_;
}

void WriterFirstMutex::unlock_shared() {
  bool last;
  {
    std::lock_guard<std::mutex> g(mu_);
    last = --readers_ == 0;
  }
  if (last) cv_.notify_all();
}

Result<std::unique_ptr<LiveSegment>> LiveSegment::open(const std::string& path, bool* busy,
                                                      const std::optional<std::vector<std::string>>& filter_keys) {
  *busy = false;
  if (filter_keys) {
    if (std::string bad = check_filter_keys(*filter_keys); !bad.empty()) return StoreError::InvalidPayload(bad);
  }
  // A missing snapshot is reported before a lock file is created beside it.
  if (!file::exists(path)) return io_error(ENOENT);
  // Lock, log and temporary files belong to the file the path names, so a
  // second name of the segment (a symlink) finds the same lock.
  const std::string target = segment_file_path(path);
  auto lock = WriterLock::acquire(target, /*create=*/true, busy, path);
  if (!lock.ok()) return lock.error();
  // Holding the lock, no other writer can be using these names.
  for (const std::string& temp : segment_temp_paths(target)) ULMORA_TRY(file::remove(temp));
  auto loaded = Segment::load_for_writing(target);
  if (!loaded.ok()) return loaded.error();
  std::unique_ptr<LiveSegment> live(new LiveSegment());
  live->path_ = path;
  live->file_ = target;
  live->seg_ = std::move(loaded.value());
  live->lock_.emplace(std::move(lock.value()));
  if (filter_keys) ULMORA_TRY(live->adopt_filter_keys(*filter_keys));
  return live;
}

LiveSegment::~LiveSegment() { close(); }

void LiveSegment::close() {
  std::lock_guard<std::mutex> compacting(compact_mu_);
  std::lock_guard<std::mutex> writing(writer_mu_);
  std::unique_ptr<Segment> gone;
  {
    std::unique_lock<WriterFirstMutex> guard(mu_);
    gone = std::move(seg_);
  }
  if (gone && gone->wal()) (void)gone->wal()->flush();
  gone.reset();
  lock_.reset();
  std::lock_guard<std::mutex> refreshing(refresh_mu_);
  pin_.reset();  // the snapshot's descriptor
}

void LiveSegment::record_changes(std::span<const WalRecord> records) {
  if (recording_) changes_.insert(changes_.end(), records.begin(), records.end());
}

// Called with writer_mu_ held.
Status LiveSegment::writable(const char* op) const {
  if (!seg_) return closed_error();
  if (read_only_) return read_only_error(op);
  if (seg_->unloaded()) return StoreError::MemoryCapExceeded("segment unloaded after memory cap exceeded");
  if (!seg_->wal()) {
    // A failed compaction could not reopen the log; try once more.
    auto writer = WalWriter::open(wal_path_for(file_), WalSyncPolicy::from_env());
    if (!writer.ok()) return writer.error();
    seg_->attach_wal(std::move(writer.value()));
  }
  return Status::Ok();
}

Result<std::vector<uint64_t>> LiveSegment::insert(InsertBatch& b) { return write_batch(b, false); }

Result<std::vector<uint64_t>> LiveSegment::upsert(InsertBatch& b) { return write_batch(b, true); }

Result<std::vector<uint64_t>> LiveSegment::write_batch(InsertBatch& b, bool replace) {
  std::unique_lock<std::mutex> compacting(compact_mu_, std::defer_lock);
  std::unique_lock<std::mutex> writing(writer_mu_);
  std::vector<uint64_t> live;
  bool stale = false;
  Result<std::vector<uint64_t>> ids = std::vector<uint64_t>{};
  for (;;) {
    ULMORA_TRY(writable(replace ? "upsert" : "insert"));
    live.clear();
    stale = false;
    ids = check_batch(b, replace, &live, &stale);
    if (!ids.ok()) return ids.error();
    if ((live.empty() && !stale) || compacting.owns_lock()) break;
    // A compaction comes first. compact_mu_ is taken before writer_mu_, so
    // the batch is checked again once both are held: a compaction that was
    // running meanwhile may have purged the stale ids already.
    writing.unlock();
    compacting.lock();
    writing.lock();
  }
  if (!live.empty()) ULMORA_TRY(remove_held(live));
  if (!live.empty() || stale) ULMORA_TRY(compact_held(b.threads));
  return append_batch(b, std::move(*ids));
}

Result<std::vector<uint64_t>> LiveSegment::check_batch(const InsertBatch& b, bool replace, std::vector<uint64_t>* live,
                                                       bool* stale) const {
  const Segment& seg = *seg_;
  const uint64_t dim = seg.hnsw().dim();
  if (b.dim != dim) return StoreError::VectorLengthMismatch(dim, b.dim);
  if (!b.ids.empty() && b.ids.size() != b.rows) {
    return StoreError::InvalidPayload("got " + std::to_string(b.ids.size()) + " ids for " + std::to_string(b.rows) +
                                      " vectors");
  }
  if (replace && b.ids.size() != b.rows) return StoreError::InvalidPayload("upsert needs an id for every vector");
  if (b.payloads && b.payloads->size() != b.rows) {
    return StoreError::InvalidPayload("got " + std::to_string(b.payloads->size()) + " payloads for " +
                                      std::to_string(b.rows) + " vectors");
  }
  if (b.rows > kMaxPoints - seg.hnsw().len()) return StoreError::InvalidPayload("too many points for one segment");
  if (auto bad = find_non_finite(b.vectors, b.rows, dim)) {
    return StoreError::InvalidPayload("non-finite value at row " + std::to_string(bad->first) + ", column " +
                                      std::to_string(bad->second));
  }
  std::vector<uint64_t> ids(b.ids.begin(), b.ids.end());
  if (ids.empty()) {
    const uint64_t first = seg.next_id();
    // The last id handed out must stay below 2^64 - 1 so next_id can pass it.
    if (b.rows > UINT64_MAX - first) return StoreError::InvalidPayload("no ids left after " + std::to_string(first));
    for (uint64_t i = 0; i < b.rows; ++i) ids.push_back(first + i);
  }
  if (auto dup = find_duplicate(ids)) return StoreError::InvalidPayload("duplicate id " + std::to_string(*dup));
  for (uint64_t id : ids) {
    if (!seg.is_known(id)) continue;
    auto at = seg.hnsw().index_of(id);
    if (!at || !seg.is_live(*at)) {
      *stale = true;
    } else if (!replace) {
      return StoreError::PointExists(id);
    } else {
      live->push_back(id);
    }
  }
  return ids;
}

Result<std::vector<uint64_t>> LiveSegment::append_batch(InsertBatch& b, std::vector<uint64_t>&& ids) {
  Segment& seg = *seg_;
  const uint64_t dim = seg.hnsw().dim();
  std::vector<WalRecord> records(b.rows);
  for (uint64_t i = 0; i < b.rows; ++i) {
    records[i].kind = WalRecord::kInsert;
    records[i].point_id = ids[i];
    records[i].vector.assign(b.vectors + i * dim, b.vectors + (i + 1) * dim);
    if (b.payloads) records[i].payload = std::move((*b.payloads)[i]);
  }
  Status logged = seg.wal()->append_batch(records);
  if (!logged.ok()) {
    // Hand the payloads back so the caller's batch is as it was.
    for (uint64_t i = 0; b.payloads && i < b.rows; ++i) (*b.payloads)[i] = std::move(records[i].payload);
    return logged.error();
  }
  record_changes(records);
  {
    // Payloads first: a node is searchable once linked, and must have its
    // payload by then.
    std::unique_lock<WriterFirstMutex> excl(mu_);
    for (WalRecord& r : records) seg.place_payload(r.point_id, std::move(r.payload));
  }
  const RowSource rows = [&](uint64_t i) {
    return std::make_pair(records[i].point_id, std::span<const float>(records[i].vector));
  };
  {
    // With SQ8 codes a linked node must have its code before a search can
    // reach it, and coding may move the code array: such segments fill the
    // graph with searches held off.
    std::unique_lock<WriterFirstMutex> coding(mu_, std::defer_lock);
    if (seg.sq8_enabled()) coding.lock();
    ULMORA_TRY(insert_parallel(seg.hnsw(), b.rows, rows, b.threads, nullptr));
    seg.code_new_nodes();
  }
  for (const WalRecord& r : records) seg.link_payload_edges(r.point_id, r.vector);
  seg.check_memory_cap();
  return std::move(ids);
}

Status LiveSegment::remove(std::span<const uint64_t> ids) {
  std::lock_guard<std::mutex> writing(writer_mu_);
  ULMORA_TRY(writable("delete"));
  return remove_held(ids);
}

Status LiveSegment::remove_held(std::span<const uint64_t> ids) {
  Segment& seg = *seg_;
  std::vector<WalRecord> records;
  PointIdSet seen;
  for (uint64_t id : ids) {
    if (seg.deleted().count(id) != 0 || !seg.hnsw().contains(id) || !seen.insert(id).second) continue;
    WalRecord r;
    r.kind = WalRecord::kDelete;
    r.point_id = id;
    records.push_back(std::move(r));
  }
  ULMORA_TRY(seg.wal()->append_batch(records));
  record_changes(records);
  std::unique_lock<WriterFirstMutex> excl(mu_);
  for (const WalRecord& r : records) ULMORA_TRY(seg.remove(r.point_id, Segment::Source::kReplay, Segment::Purge::kNever));
  return Status::Ok();
}

Status LiveSegment::quantize() {
  std::lock_guard<std::mutex> writing(writer_mu_);
  std::unique_lock<WriterFirstMutex> guard(mu_);
  if (!seg_) return closed_error();
  seg_->enable_sq8();
  return Status::Ok();
}

Status LiveSegment::update_payload(uint64_t id, Payload payload) {
  std::lock_guard<std::mutex> writing(writer_mu_);
  ULMORA_TRY(writable("update_payload"));
  Segment& seg = *seg_;
  if (seg.deleted().count(id) != 0 || !seg.hnsw().contains(id)) return StoreError::PointNotFound(id);
  WalRecord r;
  r.kind = WalRecord::kUpdatePayload;
  r.point_id = id;
  r.payload = std::move(payload);
  ULMORA_TRY(seg.wal()->append_batch(std::span<const WalRecord>(&r, 1)));
  record_changes(std::span<const WalRecord>(&r, 1));
  std::unique_lock<WriterFirstMutex> excl(mu_);
  return seg.update_payload(id, std::move(*r.payload), Segment::Source::kReplay);
}

}  // namespace ulmora
