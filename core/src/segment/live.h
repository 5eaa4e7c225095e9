// LiveSegment: a segment open for writing. It owns the writer lock, the
// loaded segment (snapshot + replayed log) and the log writer, and runs
// batched mutations, searches and compaction on it.
//
// Durability: every mutation call logs all of its records with one write
// and, when the fsync policy is on (VECTORDB_WAL_FSYNC), one flush before it
// changes memory or returns (group commit); a refused call writes nothing.
//
// Threading: any thread may call any method. Searches (Reader) share the
// segment; mutations, compaction and close take it exclusively. Inside a
// batch insert the graph is filled from several threads; payload maps are
// changed by the calling thread only.
//
// Errors: refused input is StoreError::InvalidPayload whose text says what
// is wrong (non-finite value, duplicate id, id range, segment closed);
// PointExists, VectorLengthMismatch and PointNotFound as the segment gives
// them; Io for file failures; MemoryCapExceeded once the cap was crossed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/payload.h"
#include "segment/builder.h"
#include "segment/segment.h"
#include "segment/writer_lock.h"

namespace ulmora {

// The refusal of a call on a closed segment.
StoreError closed_error();

class LiveSegment {
 public:
  // Takes the writer lock (`*busy` set when another writer holds it),
  // removes temporary files a crashed writer left, loads the snapshot,
  // replays the log (creating it when missing) and opens it for appending.
  static Result<std::unique_ptr<LiveSegment>> open(const std::string& path, bool* busy);

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
  // Validates the whole batch (dim, finite values, duplicates, ids already
  // known, deleted ones included, id range), logs it, then applies it.
  // Returns the ids inserted, in row order.
  Result<std::vector<uint64_t>> insert(InsertBatch& batch);
  // Deletes every known, not yet deleted id of `ids` (others are no-ops).
  // Deleted points stay in the graph, marked, until compact().
  Status remove(std::span<const uint64_t> ids);
  // PointNotFound when the id is unknown or deleted.
  Status update_payload(uint64_t id, Payload payload);
  // Rewrites the snapshot without deleted points and empties the log,
  // crash-safe at every step (docs/compaction.md). `threads` rebuild the
  // graph when there are deleted points.
  Status compact(uint64_t threads);
  // Releases memory and the writer lock; later calls get closed_error().
  void close();

  // Shared access for searches and inspection; holds the lock while alive.
  // The segment pointer is read only once the lock is held: compaction and
  // close replace or free the segment under the exclusive lock.
  class Reader {
   public:
    // nullptr when the segment is closed.
    const Segment* segment() const { return seg_; }

   private:
    friend class LiveSegment;
    explicit Reader(const LiveSegment& live) : lock_(live.shared()), seg_(live.seg_.get()) {}
    std::shared_lock<std::shared_mutex> lock_;
    const Segment* seg_;
  };
  Reader read() const { return Reader(*this); }

  const std::string& path() const { return path_; }

 private:
  LiveSegment() = default;
  Status writable() const;
  // Both locks pass gate_ first and a writer holds it while it waits, so a
  // steady stream of searches cannot starve mutations (glibc's rwlock lets
  // new readers in ahead of a waiting writer). Never take read() twice in
  // one thread: a writer waiting between the two would deadlock it.
  std::shared_lock<std::shared_mutex> shared() const;
  std::unique_lock<std::shared_mutex> exclusive();

  std::string path_;
  mutable std::mutex gate_;
  mutable std::shared_mutex mu_;
  std::unique_ptr<Segment> seg_;  // null once closed
  std::optional<WriterLock> lock_;
};

}  // namespace ulmora
