// Segment building: many points into a fresh graph from several threads,
// then one version-3 snapshot (metadata block, checksum trailer) written
// atomically. Also the pieces the live segment and compaction share: input
// checks, the parallel graph inserter, the snapshot file writer, and the
// cancel/progress block another thread watches.
//
// Refused input is reported as StoreError::InvalidPayload whose text says
// what is wrong ("non-finite value at row 3, column 1", "duplicate id 7");
// callers show the text, not the display prefix.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "format/payload.h"
#include "format/snapshot.h"
#include "vector/hnsw/index.h"

namespace ulmora {

// Shared with a watching thread: `cancel` is checked between points (and
// before a file is renamed into place); `done` counts points inserted.
struct Progress {
  std::atomic<bool> cancel{false};
  std::atomic<uint64_t> done{0};
};

// The error of a cancelled operation: Io "Operation canceled (os error 125)".
StoreError cancelled_error();
bool is_cancelled(const StoreError& e);

// Largest point count one graph takes (node indices are 32-bit).
inline constexpr uint64_t kMaxPoints = 0xFFFFFFFEull;

// First non-finite value of a rows x dim matrix as (row, column).
std::optional<std::pair<uint64_t, uint64_t>> find_non_finite(const float* data, uint64_t rows, uint64_t dim);
// First id that occurs twice in `ids`, if any.
std::optional<uint64_t> find_duplicate(std::span<const uint64_t> ids);

// Point id and vector of batch row i.
using RowSource = std::function<std::pair<uint64_t, std::span<const float>>(uint64_t i)>;

// Inserts rows 0..n-1 into `graph` with up to `threads` threads (the caller
// is one of them). Each point is taken from a shared counter; `progress`
// (optional) is checked for cancel before each point and counts it after.
// Returns the first insertion error, cancelled_error() when cancelled, or an
// Io error naming an internal failure (a thread that threw). Whatever was
// inserted before an error stays in the graph.
Status insert_parallel(hnsw::HnswIndex& graph, uint64_t n, const RowSource& row, uint64_t threads,
                       Progress* progress);

// Writes `bytes` as `path`: a temporary file "<path>.tmp.write" (fsync),
// then, unless `cancel` is set by then, `before_rename` (optional) and the
// rename over `path` and an fsync of the directory. A failure or a cancel
// removes the temporary file and leaves `path` as it was.
Status write_file_durably(const std::string& path, std::span<const uint8_t> bytes, const std::atomic<bool>* cancel,
                          const std::function<Status()>& before_rename = {});

// The temporary names the writers of a segment use beside its snapshot and
// log; stale ones (a crash) are removed when the segment is next opened.
std::vector<std::string> segment_temp_paths(const std::string& snapshot_path);

// Puts the snapshot `bytes` in place of the segment at `path` (the
// resolved name; the caller holds its writer lock or no writer exists), so
// that a crash at any point leaves the old segment whole or the new one:
// a log beside `path` that holds records is first folded into the old
// snapshot through the compaction order (the log ends header only, which
// suits either snapshot); then the new snapshot goes in through
// write_file_durably (`cancel` checked before its rename); then the log is
// removed. When the old segment does not load, its log is removed before
// the new snapshot comes in instead.
Status replace_segment(const std::string& path, std::span<const uint8_t> bytes, const std::atomic<bool>* cancel);

struct BuildRequest {
  const float* vectors = nullptr;  // rows x dim, row-major
  uint64_t rows = 0;
  uint64_t dim = 0;
  std::span<const uint64_t> ids;                      // empty: 0..rows-1
  std::vector<std::optional<Payload>>* payloads = nullptr;  // nullptr or rows entries; moved from
  Metric metric = Metric::kCosine;
  uint64_t m = 16;
  uint64_t ef_construction = 200;
  uint64_t threads = 1;
  // Node levels from a hash of (seed, point id); none: OS-seeded. With one
  // thread a seeded build writes the same file every time.
  std::optional<uint64_t> seed;
  // Payload keys that get filter edges, kept in the snapshot (Segment::
  // set_filter_keys); none: the environment decides.
  std::optional<std::vector<std::string>> filter_keys;
};
// The refusal text of a filter-key list (empty when it is fine): at least
// one key, none empty.
std::string check_filter_keys(const std::vector<std::string>& keys);

struct BuildStats {
  uint64_t points = 0;
  uint64_t bytes = 0;           // snapshot file size
  double insert_seconds = 0.0;  // graph insertion only
  double total_seconds = 0.0;
};

// Empty text when the request can be built, else what is wrong with it.
std::string check_build_request(const BuildRequest& request);

// Builds the segment and writes it to `path`: graph insertion on
// request.threads threads; then, in row order on one thread, payloads, payload
// index and filter edges as live inserts set them; then the snapshot
// (next_id = largest id + 1, no log) in place of any segment at `path` by
// replace_segment. Files are those of the file `path` resolves to (a
// symlink is written through). When a lock file beside it exists, its lock
// is held for the whole build (`*busy` set when another writer has it).
// Refused input: InvalidPayload with check_build_request's text. A
// directory the file cannot be created in fails before insertion.
// Cancelled: cancelled_error(), nothing written.
Result<BuildStats> build_segment(const std::string& path, BuildRequest& request, Progress* progress, bool* busy);

}  // namespace ulmora
