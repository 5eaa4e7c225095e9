// Compaction: a new snapshot without deleted points, replacing the old
// snapshot/log pair by a sequence of atomic renames so that a crash at any
// instant leaves a pair that loads to the same logical state (live ids,
// their vectors and payloads, next_id). The order and the argument are in
// docs/compaction.md. The live segment (LiveSegment::compact) runs it in
// three parts:
//   a. with mutations held off: survivors_of() and the log offset `from`;
//   b. beside searches and mutations: purged_copy() of that state (S'),
//      written to "<P>.tmp.compact" and fsynced; the changes made meanwhile
//      are carried into it (apply_changes) in rounds;
//   c. with mutations held off again: install_compacted():
//      1. L' = the log without UpdatePayload records of points that are not
//         live at the end, written to "<W>.tmp.compact", fsynced, renamed
//         over the log W, directory fsynced;
//      2. S' renamed over the snapshot P, directory fsynced;
//      3. W replaced (atomically) by the records of L' from `from` on: the
//         changes S' does not hold yet (header only when there were none).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/wal_record.h"
#include "segment/segment.h"

namespace ulmora {

// What a compaction keeps of a segment: the node indices of its live points
// in node order, their payloads (copies) and next_id. Taken with the
// segment's mutations held off; the graph may grow afterwards.
struct Survivors {
  std::vector<uint64_t> nodes;
  std::vector<std::optional<Payload>> payloads;  // parallel to nodes
  uint64_t next_id = 0;
  std::optional<std::set<std::string>> filter_keys;  // the segment's own, kept
  bool sq8 = false;                                  // codes kept (new scales)
};
Survivors survivors_of(const Segment& seg);

// A fresh segment (no log) holding the survivors: vectors read from `old`
// (inserts into it may run meanwhile), re-inserted in their old node order
// by `threads` threads; payloads, payload index and filter edges as inserts
// set them; next_id kept.
Result<std::unique_ptr<Segment>> purged_copy(const hnsw::HnswIndex& old, Survivors&& survivors, uint64_t threads);
// The same for a segment held still by the caller.
Result<std::unique_ptr<Segment>> purged_copy(const Segment& seg, uint64_t threads);

// Applies logged changes (records of calls made after the survivors were
// taken, in log order) to `fresh` as a replay would; runs of inserts go into
// the graph on `threads` threads. Deletes never purge.
Status apply_changes(Segment& fresh, std::vector<WalRecord>&& records, uint64_t threads);

// The log at `wal_path` (header and intact records; a torn tail is left
// out) without the UpdatePayload records of ids that are not live in `seg`:
// `whole` holds every such record, `tail` (with its own header) those that
// start at byte offset `from` or later.
struct FilteredLogs {
  std::vector<uint8_t> whole;
  std::vector<uint8_t> tail;
};
Result<FilteredLogs> filtered_logs(const std::string& wal_path, const Segment& seg, uint64_t from);
// filtered_logs(...).whole. Replayed over either the snapshot it followed or
// a purged one, it yields the state of `seg`.
Result<std::vector<uint8_t>> filtered_log(const std::string& wal_path, const Segment& seg);

// Writes `bytes` to `temp` and fsyncs it (no rename); removes it on failure.
Status write_synced(const std::string& temp, std::span<const uint8_t> bytes);

// Steps c.1-3 for the snapshot at `path`: `current` is the segment in memory
// (state X, its log writer on W), "<path>.tmp.compact" holds S', and the
// records of W from offset `from` on are the changes S' lacks. The caller
// holds mutations off. On failure before the log's rename the files and
// the writer are as they were; from the rename on, `current` has no writer
// and the caller opens one on W. `*replaced` says whether S' is in place
// of P (from then on memory must take the compacted segment). The
// temporary files are gone on return.
Status install_compacted(const std::string& path, Segment& current, uint64_t from, bool* replaced);

}  // namespace ulmora
