// LiveSegment: a segment open for writing. It owns the writer lock, the
// loaded segment (snapshot + replayed log) and the log writer, and runs
// batched mutations, searches and compaction on it.
//
// Durability: every mutation call logs all of its records with one write
// and, when the fsync policy is on (VECTORDB_WAL_FSYNC), one flush before it
// changes memory or returns (group commit); a refused call writes nothing.
//
// Threading: any thread may call any method. Mutations run one at a time
// (writer_mu_); searches and inspection (Reader) share mu_ and run beside
// them. A mutation validates and logs its call holding only writer_mu_,
// fills the graph from several threads beside the searches (a new node is
// searchable once linked, and its payload is in place before it exists),
// and changes payloads, payload index and deleted set in one short section
// that holds mu_ exclusively. So a search sees each point whole or not at
// all, the deletes or payload updates of one call all or none of them, and
// every effect of a call that returned before it started; while a Reader
// is held, payloads, payload index and deleted set do not change (new
// graph nodes may appear). compact() builds the new graph beside searches
// and mutations, and holds mutations off only at its start and for its file
// renames; searches wait only for the swap of the segment (mu_ exclusive).
// close() waits for a running compaction and mutation.
//
// Lock order: compact_mu_, writer_mu_, mu_. mu_ is writer-preferring, so a
// steady stream of searches cannot starve a mutation's exclusive section
// (glibc's default rwlock prefers readers).
//
// Errors: refused input is StoreError::InvalidPayload whose text says what
// is wrong (non-finite value, duplicate id, id range, segment closed);
// PointExists, VectorLengthMismatch and PointNotFound as the segment gives
// them; Io for file failures; MemoryCapExceeded once the cap was crossed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/payload.h"
#include "format/wal_record.h"
#include "segment/builder.h"
#include "segment/filter.h"
#include "segment/segment.h"
#include "segment/segment_files.h"
#include "segment/writer_lock.h"

namespace ulmora {

// The refusal of a call on a closed segment.
StoreError closed_error();

// Shared/exclusive lock in which a waiting writer blocks new readers.
// Satisfies SharedMutex for std::shared_lock and std::unique_lock.
class WriterFirstMutex {
 public:
  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t readers_ = 0;
  uint64_t writers_waiting_ = 0;
  bool writing_ = false;
};

class LiveSegment {
 public:
  // Takes the writer lock of the file `path` names, whatever its name
  // (`*busy` set when another writer holds it), removes temporary files a
  // crashed writer left, loads the snapshot, replays the log (creating it
  // when missing) and opens it for appending.
  // `filter_keys` (checked with check_filter_keys): the payload keys that
  // get filter edges from now on; when they differ from the stored ones the
  // segment is compacted once at open, which rebuilds every point's edges
  // for them and records them in the snapshot.
  static Result<std::unique_ptr<LiveSegment>> open(
      const std::string& path, bool* busy, const std::optional<std::vector<std::string>>& filter_keys = std::nullopt);
  // A segment opened for reading only: no writer lock, no temporary-file
  // cleanup, nothing created or opened for writing. It holds the snapshot
  // and log as a consistent load found them (segment_files.h) and refuses
  // every mutation and compaction with StoreError::ReadOnly.
  static Result<std::unique_ptr<LiveSegment>> open_readonly(const std::string& path);

  ~LiveSegment();
  LiveSegment(const LiveSegment&) = delete;
  LiveSegment& operator=(const LiveSegment&) = delete;

  struct InsertBatch {
    const float* vectors = nullptr;  // rows x dim, row-major
    uint64_t rows = 0;
    uint64_t dim = 0;
    std::span<const uint64_t> ids;                            // empty: next_id onward
    std::vector<std::optional<Payload>>* payloads = nullptr;  // nullptr or rows entries; moved from
    uint64_t threads = 1;
  };
  // Validates the whole batch (dim, finite values, duplicates, live ids,
  // id range), logs it, then applies it. Returns the ids inserted, in row
  // order. Ids deleted since the last compaction are still known to the
  // files (a log replay drops an insert of a known id), so a batch holding
  // any first compacts the segment, once, with mutations held off, then
  // inserts: a crash between the two loses nothing acknowledged.
  Result<std::vector<uint64_t>> insert(InsertBatch& batch);
  // Replace-or-insert: ids required and unique in the batch. The batch is
  // validated as insert() validates it, live ids aside; then the live ids
  // are deleted (one logged call) and the batch is inserted as insert()
  // does (a compaction first when any id was deleted or replaced). A crash
  // between the two calls leaves the replaced points deleted.
  Result<std::vector<uint64_t>> upsert(InsertBatch& batch);
  // Deletes every known, not yet deleted id of `ids` (others are no-ops).
  // Deleted points stay in the graph, marked, until compact().
  Status remove(std::span<const uint64_t> ids);
  // PointNotFound when the id is unknown or deleted.
  Status update_payload(uint64_t id, Payload payload);
  // Rewrites the snapshot without deleted points and empties the log,
  // crash-safe at every step (docs/compaction.md). `threads` rebuild the
  // graph. Searches and mutations go on meanwhile; the changes made while
  // the graph is rebuilt are carried into the new segment, and the new log
  // holds them (the new snapshot does not), so it is empty only when there
  // were none.
  Status compact(uint64_t threads);
  // Deletes every live point that matches `filter`, logged as one batch
  // under one exclusive section (so the match set and the deletes see the
  // same segment). Returns how many points were deleted.
  Result<uint64_t> remove_matching(const Filter& filter);
  // Read-only segments: catches up with the files. While the snapshot it
  // loaded is still the segment's (no compaction since), the log records
  // written since the last refresh are applied under the exclusive lock; a
  // reader's graph is frozen until it first has records to apply, and is
  // then loaded once more, unfrozen. Otherwise the files are loaded afresh
  // beside the old segment, which searches keep using until the new one is
  // swapped in. A failed refresh leaves a whole state in force. Refreshes
  // run one at a time. A writer's segment is always current: nothing to do.
  Status refresh();
  bool read_only() const { return read_only_; }
  // SQ8 codes for the graph, kept for every later insert and compaction
  // (Segment::enable_sq8); waits for running searches.
  Status quantize();
  // Releases memory and the writer lock; later calls get closed_error().
  void close();

  // Shared access for searches and inspection; holds the lock while alive.
  class Reader {
   public:
    // nullptr when the segment is closed.
    const Segment* segment() const { return seg_; }

   private:
    friend class LiveSegment;
    // The segment is looked up only once the lock is held (compaction
    // replaces it).
    Reader(WriterFirstMutex& mu, const std::unique_ptr<Segment>& seg) : lock_(mu), seg_(seg.get()) {}
    std::shared_lock<WriterFirstMutex> lock_;
    const Segment* seg_;
  };
  Reader read() const { return Reader(mu_, seg_); }

  // The path as given to open().
  const std::string& path() const { return path_; }
  // The file it names (segment_file_path): the snapshot that the log, the lock
  // and the temporary files are named after.
  const std::string& file_path() const { return file_; }

 private:
  LiveSegment() = default;
  // Called holding writer_mu_; `op` names the refused call in a read-only
  // segment's error.
  Status writable(const char* op) const;
  // Sets the segment's filter keys; compacts once when they differ from the
  // stored ones (called by open, before anyone else sees the segment).
  Status adopt_filter_keys(const std::vector<std::string>& keys);
  // insert() and upsert(): the checks, the deletes of replaced points and
  // the compaction, then append_batch().
  Result<std::vector<uint64_t>> write_batch(InsertBatch& batch, bool replace);
  // Called holding writer_mu_: the batch's checks. Returns its ids; *live
  // gets the batch's live ids (refused with PointExists unless `replace`),
  // *stale whether some id is known but not live.
  Result<std::vector<uint64_t>> check_batch(const InsertBatch& batch, bool replace, std::vector<uint64_t>* live,
                                            bool* stale) const;
  // Called holding writer_mu_: logs the checked batch, then applies it.
  Result<std::vector<uint64_t>> append_batch(InsertBatch& batch, std::vector<uint64_t>&& ids);
  // Called holding writer_mu_: logs and applies the deletes of remove().
  Status remove_held(std::span<const uint64_t> ids);
  // Called holding compact_mu_ and writer_mu_: a compaction with nothing to
  // carry over, since no mutation runs beside it.
  Status compact_held(uint64_t threads);
  // The compacted segment's snapshot, written to `temp` and fsynced.
  static Status write_compacted(const Segment& fresh, const std::string& temp);
  // A call's records, logged: kept for a running compaction (writer_mu_).
  void record_changes(std::span<const WalRecord> records);
  // The compacted segment and its writer in place of the current one.
  Status install(std::unique_ptr<Segment> fresh, uint64_t from, std::unique_ptr<Segment>& retired);
  // Stops recording changes; returns `s`.
  Status stop_recording(Status s);
  // Called holding refresh_mu_ on a read-only segment: applies the log
  // records written since log_end_. False when that cannot be done (the
  // files were replaced, or the graph is frozen) and a full load is due.
  Result<bool> tail_log();

  std::string path_;
  std::string file_;
  mutable WriterFirstMutex mu_;  // seg_ and what readers see of it
  std::mutex writer_mu_;         // one mutation at a time
  std::mutex compact_mu_;        // one compaction at a time
  std::unique_ptr<Segment> seg_;  // null once closed; replaced under writer_mu_ and mu_
  std::optional<WriterLock> lock_;
  bool read_only_ = false;
  std::mutex refresh_mu_;
  // Read-only (under refresh_mu_): the snapshot loaded, held open so that a
  // compaction's replacement shows, where its log's applied records end,
  // and whether it follows the log (keeps a graph that takes inserts).
  std::optional<SnapshotPin> pin_;
  uint64_t log_end_ = 0;
  bool follows_ = false;
  // While a compaction runs (recording_): the records of every call logged
  // since it took the survivors, in log order (both under writer_mu_).
  bool recording_ = false;
  std::vector<WalRecord> changes_;
};

// The refusal of `op` on a read-only segment.
StoreError read_only_error(const std::string& op);

}  // namespace ulmora
