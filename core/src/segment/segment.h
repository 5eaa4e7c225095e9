// Segment: one loaded segment (graph, payloads, payload index, deleted set,
// next id) with its optional write-ahead log writer, and its mutations.
//
// Threading: mutations of one segment run one at a time (the caller
// serialises them); the segment takes no lock of its own beyond what the
// graph takes inside. `rebuilding` is atomic so that a second purge, from
// any thread, is refused instead of run twice. Read accessors may run beside
// each other but not beside a mutation, with one exception the live segment
// uses: graph inserts (hnsw().insert) and link_payload_edges() may run
// beside readers, since the graph takes its own locks.
//
// Invariants: every id in deleted() has a node in hnsw() marked deleted
// there; no deleted id has a payload; payload_index() holds exactly the
// scalar entries of payloads(), and payload_views() whatever part of them
// it has built so far.
//
// Memory cap: when VECTORDB_MAX_RSS_MB is set (read once per process, at the
// first live insert), every successful live insert then compares the
// process's resident set size (/proc/self/statm) with the cap; above it the
// segment is marked unloaded, and from then on every live mutation fails
// with "Memory cap exceeded: segment unloaded after memory cap exceeded".
// The insert that crossed the cap stays done (it is already in the log).
// Replayed mutations never check the cap.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/file.h"
#include "format/payload.h"
#include "format/snapshot.h"
#include "segment/payload_views.h"
#include "vector/hnsw/index.h"

namespace ulmora {

class WalWriter;
class Segment;
struct WalRecord;

// Whole-millisecond durations of one load, for the timing line.
struct LoadTimings {
  uint64_t bytes = 0;
  uint64_t read_ms = 0;
  uint64_t checksum_ms = 0;
  uint64_t deserialize_ms = 0;
  uint64_t build_ms = 0;
  uint64_t wal_replay_ms = 0;
  uint64_t total_ms = 0;
};

// "snapshot_load path=... bytes=... read_ms=... checksum_ms=...
// deserialize_ms=... build_ms=... wal_replay_ms=... total_ms=..." (no newline).
std::string format_load_timing_line(const std::string& path, const LoadTimings& t);

// A duration as a decimal number and unit: seconds ("1.5s") from 1 s,
// milliseconds ("2.25ms") from 1 ms, microseconds ("12µs") from 1 µs, else
// nanoseconds ("250ns"); the fraction keeps only the digits it needs.
std::string format_duration(std::chrono::nanoseconds d);

// What a log replay found.
struct WalReplay {
  uint64_t records = 0;     // records applied (tolerated PointExists included)
  uint64_t file_len = 0;    // bytes in the file when it was read
  uint64_t intact_end = 0;  // end of the header and the last whole record
  bool torn() const { return intact_end < file_len; }
};

// Applies every intact record of the log at `path` to `segment` through the
// replay forms of the mutations, in file order. A missing or unreadable
// file (metadata) replays nothing. A log shorter than its header, or ending
// inside its last record, is read up to the cut. Errors: WalCorruption
// "missing WAL header", "unsupported WAL version {}", "checksum mismatch";
// Serialization for an undecodable record; Io for read errors; and any
// error of a replayed mutation except PointExists from an insert.
Result<WalReplay> replay_wal(const std::string& path, Segment& segment);

// The intact records of an open log from byte `from` on: `from` is 0 (the
// whole log, its header checked) or an intact_end an earlier read of the
// same file returned. Decoded, not applied; *end gets the new intact end.
// A record cut short (a write in progress) ends the read before it.
Result<std::vector<WalRecord>> read_wal_from(file::File& log, uint64_t from, uint64_t* end);

// Applies records read from a log as its replay does (an insert of a known
// id is dropped). Stops at the first error.
Status apply_wal_records(Segment& segment, std::vector<WalRecord>& records);

class Segment {
 public:
  // Reads, checks and decodes the snapshot at `path`, restores its graph,
  // then (unless VECTORDB_WAL_AUTO_REPLAY is off) replays the log beside it
  // (path with extension "wal") and opens that log for appending. Prints the
  // timing line on standard error when VECTORDB_LOG_SNAPSHOT_LOAD_TIMING is
  // on. Environment switches are read afresh on every call. A failed load
  // prints nothing and returns only the error. Both files are named after
  // the file `path` resolves to, and a snapshot replaced during the load
  // (a compaction) makes it start again (segment_files.h).
  static Result<std::unique_ptr<Segment>> load(const std::string& path);
  // The same, for a writer: the log beside the snapshot is always replayed
  // and opened (VECTORDB_WAL_AUTO_REPLAY does not apply), and created with
  // its header when missing, so the segment always has a writer. Such a
  // segment never purges on delete, in replay or live: a deleted id stays
  // known until compaction, so its log never holds an insert of an id after
  // that id's delete (which a replay without the purge would drop); a live
  // insert of such an id compacts first (LiveSegment::insert).
  static Result<std::unique_ptr<Segment>> load_for_writing(const std::string& path);
  // The same, for a reader that changes nothing: the log is always replayed
  // as a writer's load does (no purge), opened for reading only, never
  // created, cut or kept open; the segment has no writer and its graph is
  // frozen.
  // `freeze` false keeps the graph able to take the log's later records.
  static Result<std::unique_ptr<Segment>> load_readonly(const std::string& path, bool freeze = true);

  // Reads, checks and decodes the snapshot at `path` into a segment with no
  // log: nothing is replayed, opened or created beside it. The same checks
  // and errors as load(), with no timing line.
  static Result<std::unique_ptr<Segment>> load_snapshot(const std::string& path);

  // An empty segment (no log) whose graph has the given configuration; the
  // graph's default search beam width is ef_construction. dim must be > 0.
  static std::unique_ptr<Segment> create(Metric metric, uint64_t m, uint64_t ef_construction, uint64_t dim);

  // Builds a segment (no log) from a decoded snapshot; fails when its graph
  // record cannot be restored (dim = 0).
  static Result<std::unique_ptr<Segment>> from_snapshot(SegmentSnapshot&& snapshot);

  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  // ---- Mutations. Source::kCall: refused on an unloaded segment, logged
  // to the writer (when present) before anything changes. Source::kReplay:
  // a record already in the log, so no log and no cap check. A refused
  // mutation (unloaded, PointExists, wrong vector length, PointNotFound,
  // unframeable record) writes nothing to the log.
  enum class Source : uint8_t { kCall, kReplay };
  // Purge::kNever: a delete that never purges (the live segment's own
  // deletes: deleted points stay until compaction).
  enum class Purge : uint8_t { kAllowed, kNever };

  // PointExists when the id is in the graph (deleted nodes included), has a
  // payload or is in the deleted set; VectorLengthMismatch when the length
  // is not the graph's dim.
  Status insert(uint64_t point_id, std::vector<float> vector, std::optional<Payload> payload, Source source);
  // Deleting an unknown or already deleted id is a silent no-op. May purge
  // (VECTORDB_PURGE_DELETIONS); a purge failure is returned with the
  // deletion itself done.
  Status remove(uint64_t point_id, Source source, Purge purge = Purge::kAllowed);
  // PointNotFound when the id is deleted or not in the graph.
  Status update_payload(uint64_t point_id, Payload payload, Source source);
  // The purge: a fresh graph with the surviving points in their old node
  // order, payloads kept, deleted emptied. Writes nothing to the log.
  // SearchFailed "Segment rebuild already in progress." while one runs.
  Status rebuild();

  // ---- Batched inserts (builder, live segment). The caller validates the
  // batch with is_known() and the graph's dim, logs it, inserts the vectors
  // into hnsw() (from several threads if it likes), then calls
  // finish_insert() for each point in batch order, from one thread: payload
  // index, payloads and filter edges exactly as insert() would set them,
  // and next_id.
  bool is_known(uint64_t point_id) const {
    return hnsw_->contains(point_id) || payloads_.count(point_id) != 0 || deleted_.count(point_id) != 0;
  }
  void finish_insert(uint64_t point_id, std::span<const float> vector, std::optional<Payload>&& payload);
  // finish_insert() in two halves, for inserts that searches run beside:
  // place_payload() (payload index, payloads, next_id) before the point's
  // graph node exists, with readers kept out, so a node a search reaches
  // always has its payload; link_payload_edges() (filter edges) once the
  // node is in the graph.
  void place_payload(uint64_t point_id, std::optional<Payload>&& payload);
  void link_payload_edges(uint64_t point_id, std::span<const float> vector);
  // SQ8 codes for the nodes added since the last call (nothing without
  // enable_sq8()). May move the code array: no search may run beside it.
  void code_new_nodes();
  // next_id = max(next_id, id) (compaction keeps the id of purged points).
  void raise_next_id(uint64_t id) { next_id_ = id > next_id_ ? id : next_id_; }
  // The memory-cap rule of a live insert, for a batch that just finished.
  void check_memory_cap();

  // SQ8 codes for the graph from here on: built now from the stored
  // vectors (on an empty Euclidean graph, at the first insert), extended at
  // every insert on the same scales, rebuilt by a purge; compaction's copy
  // keeps the setting. Keep searches out while it runs.
  void enable_sq8();
  bool sq8_enabled() const { return sq8_; }

  // The whole segment as a snapshot record (graph exported, maps copied).
  SegmentSnapshot to_snapshot() const;

  // ---- Log attachment (the load's replay step). Replays the log at
  // `wal_path` when it exists, then opens a writer on it with the policy
  // from the environment. Returns whether a log was replayed.
  // `attach` false: replay only, no writer.
  Result<bool> replay_and_attach(const std::string& wal_path, bool attach = true);

  // ---- Hand-over to a read-only index. Leaves the segment without a graph
  // (only destruction may follow). What a loaded index must hold is the
  // graph as restoring an export of it builds; when the load replayed no
  // log record that is the restored graph itself, which is handed over
  // without a copy; otherwise the graph is exported and restored.
  Result<std::unique_ptr<hnsw::HnswIndex>> release_graph();
  // Log records applied by the load's replay.
  uint64_t replayed_records() const { return replayed_records_; }
  // Where the load's replay stopped: the end of the log's last intact record
  // (0 when there was no log).
  uint64_t replayed_log_end() const { return replayed_log_end_; }

  // ---- Reads.
  const hnsw::HnswIndex& hnsw() const { return *hnsw_; }
  hnsw::HnswIndex& hnsw() { return *hnsw_; }
  const PayloadIndex& payload_index() const { return payload_index_; }
  // List elements and sorted values for filters, built on first use.
  const PayloadViews& payload_views() const { return views_; }
  const PayloadMap& payloads() const { return payloads_; }
  const PointIdSet& deleted() const { return deleted_; }
  // A point is live when its node still holds a vector and its id is not in
  // deleted(): the one rule behind every count, listing and lookup of live
  // points. `node` is a node index below hnsw().len().
  bool is_live(uint64_t node) const {
    // Filters call this once per candidate node: skip the set lookup while
    // nothing is deleted (deleted nodes are also marked in the graph).
    return hnsw_->live_vector(node) != nullptr &&
           (deleted_.empty() || deleted_.count(hnsw_->point_id(node)) == 0);
  }
  // Bit i of `words` (zeroed, (nodes + 63) / 64 of them) set for every
  // live node i < nodes: is_live for a range, without a call per node.
  void live_bits(uint64_t nodes, uint64_t* words) const;
  // Calls f(point_id, node) for every live point, in node order.
  template <class F>
  void for_each_live(F&& f) const {
    const uint64_t nodes = hnsw_->len();
    for (uint64_t node = 0; node < nodes; ++node) {
      if (is_live(node)) f(hnsw_->point_id(node), node);
    }
  }
  uint64_t next_id() const { return next_id_; }
  const WalWriter* wal() const { return wal_.get(); }
  WalWriter* wal() { return wal_.get(); }
  // Replaces the writer (nullptr detaches it); the old one is closed.
  void attach_wal(std::unique_ptr<WalWriter> writer);
  bool rebuilding() const { return rebuilding_.load(std::memory_order_acquire); }
  bool unloaded() const { return unloaded_; }
  // Refuses every later live mutation (what the memory cap does).
  void mark_unloaded() { unloaded_ = true; }

  // ---- Filter keys. Set: later inserts (and rebuilds) link filter edges
  // for exactly these payload keys, whatever VECTORDB_FILTER_KEYS,
  // VECTORDB_FILTER_MAX_KEYS and VECTORDB_FILTER_EDGES say; the keys travel
  // with the snapshot (to_snapshot, load). Unset: the environment decides.
  const std::optional<std::set<std::string>>& filter_keys() const { return filter_keys_; }
  void set_filter_keys(std::optional<std::set<std::string>> keys) { filter_keys_ = std::move(keys); }

 private:
  Segment() = default;
  Status refuse_if_unloaded(Source source) const;
  void link_filter_edges(hnsw::HnswIndex& graph, uint64_t point_id, std::span<const float> vector,
                         const Payload& payload, const PayloadIndex& index);
  Status maybe_purge();
  enum class LoadMode : uint8_t { kIndex, kWriter, kReader };
  static Result<std::unique_ptr<Segment>> load_impl(const std::string& path, LoadMode mode);
  static Result<std::unique_ptr<Segment>> load_pair(const std::string& path, LoadMode mode, LoadTimings& t);
  static Result<std::unique_ptr<Segment>> load_whole_file(const std::string& path, LoadTimings& t);
  static Result<std::unique_ptr<Segment>> load_streamed(const std::string& path, LoadTimings& t);
  static Result<std::unique_ptr<Segment>> load_either(const std::string& path, LoadTimings& t);

  std::unique_ptr<hnsw::HnswIndex> hnsw_;
  std::unique_ptr<WalWriter> wal_;
  PayloadIndex payload_index_;
  PayloadViews views_;  // kept beside payload_index_
  PayloadMap payloads_;
  PointIdSet deleted_;
  uint64_t next_id_ = 0;
  uint64_t replayed_records_ = 0;
  uint64_t replayed_log_end_ = 0;
  std::atomic<bool> rebuilding_{false};
  bool unloaded_ = false;
  bool never_purge_ = false;  // set for writers and read-only loads
  std::optional<std::set<std::string>> filter_keys_;
  bool sq8_ = false;          // enable_sq8() was called
};

}  // namespace ulmora
