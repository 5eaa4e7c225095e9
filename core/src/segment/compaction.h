// Compaction: a new snapshot without deleted points and an empty log,
// replacing the old pair by a sequence of atomic renames so that a crash at
// any instant leaves a snapshot/log pair that loads to the same logical
// state (live ids, their vectors and payloads, next_id). The order and the
// argument are in docs/compaction.md:
//   1. S' (purged) written to "<P>.tmp.compact" and fsynced, not renamed;
//   2. L' = the log without UpdatePayload records of points that are not
//      live at the end, written to "<W>.tmp.compact", fsynced, renamed over
//      the log W, directory fsynced;
//   3. S' renamed over the snapshot P, directory fsynced;
//   4. W replaced by an empty log (header only), atomically.
// The caller holds the writer lock and excludes every other use of the
// segment while this runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "segment/segment.h"

namespace ulmora {

// A copy of `seg` without deleted points: survivors re-inserted into a
// fresh graph in their old node order (by `threads` threads), payloads,
// payload index and filter edges as inserts set them, next_id kept. No log.
Result<std::unique_ptr<Segment>> purged_copy(const Segment& seg, uint64_t threads);

// The bytes of the log at `wal_path` (header and intact records; a torn
// tail is left out) without the UpdatePayload records of ids that are not
// live in `seg`. Replayed over either the snapshot it followed or the
// purged one, it yields the state of `seg`.
Result<std::vector<uint8_t>> filtered_log(const std::string& wal_path, const Segment& seg);

// Runs steps 1-4 for the snapshot at `path` whose loaded state is `seg`.
// On success `seg` is the compacted segment with a writer on the new log.
// On failure `seg` keeps its state (or the compacted one, once step 3 is
// done) and a writer on whatever log is in place; the error is returned.
Status compact_segment(const std::string& path, std::unique_ptr<Segment>& seg, uint64_t threads);

}  // namespace ulmora
