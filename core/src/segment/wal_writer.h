// WalWriter: the append handle of a segment's write-ahead log, and the
// helpers the log replay shares with it.
//
// File: "VDBW", u32 version 1, then framed records back to back:
// u32 body length L, L body bytes (one encoded WalRecord), u32 Adler-32 of
// the body. All integers little-endian.
//
// Threading: a writer belongs to one segment and is used by that segment's
// mutation path, one mutation at a time. It takes no lock of its own.
//
// Torn frames: each append writes its frames with one write call. When that
// write fails, the file is truncated back to where the frames started, so a
// later append never follows a partial record; if that truncate fails too,
// the writer refuses every later append (the file's tail is unknown).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "base/file.h"
#include "format/wal_record.h"

namespace ulmora {

// The log path of a snapshot path: the last extension of the final path
// component replaced by "wal", or ".wal" appended when there is none
// ("seg.snap" -> "seg.wal", "seg" -> "seg.wal", ".hidden" -> ".hidden.wal").
std::string wal_path_for(const std::string& snapshot_path);

// Largest body a frame's u32 length can describe (4 GiB - 1).
inline constexpr uint64_t kMaxWalBody = 0xFFFFFFFFull;

// The frame length of a body of `size` bytes, or a Serialization error when
// it does not fit the u32 length field.
Result<uint32_t> wal_frame_length(uint64_t size);

// When and whether appended records are flushed to stable storage.
struct WalSyncPolicy {
  bool fsync = true;
  uint64_t fsync_every = 100;                      // >= 1; flush at the latest after this many records
  std::chrono::milliseconds fsync_interval{100};   // 0: no time rule
  Instant (*clock)() = &ulmora::now;               // injectable for tests

  // VECTORDB_WAL_FSYNC (flag, default on), VECTORDB_WAL_FSYNC_EVERY (count,
  // default 100, 0 acts as 1), VECTORDB_WAL_FSYNC_MS (count, default 100, 0
  // allowed), read from the environment on every call.
  static WalSyncPolicy from_env();
};

// A torn tail found by replay: the file had `seen_len` bytes, of which the
// first `intact_end` hold the header and whole, checked records. An
// `intact_end` below the header size means the header itself was cut short.
struct WalTail {
  uint64_t intact_end = 0;
  uint64_t seen_len = 0;
};

class WalWriter {
 public:
  // Opens `path` for reading and appending, creating it when missing. An
  // empty file gets the 8 header bytes (flushed when policy.fsync); a
  // non-empty file is not inspected.
  //
  // `torn`: the torn tail replay found. It is cut off right before the first
  // append (not at open, so a load that never appends leaves the file as it
  // was): the file is truncated to `intact_end`, or emptied and given a
  // fresh header when the header itself was cut short. The cut happens only
  // while the file still has `seen_len` bytes, so records another writer
  // appended since are never dropped.
  static Result<std::unique_ptr<WalWriter>> open(const std::string& path, const WalSyncPolicy& policy,
                                                 std::optional<WalTail> torn = std::nullopt);

  // Closes the file without a final flush.
  ~WalWriter() = default;
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;

  // Encodes `record` and writes its frame (length, body, checksum) with one
  // write call, then flushes when the policy says so. A body over 4 GiB - 1
  // is refused with a Serialization error before anything is written. A
  // failed write is rolled back (see above) and returns Io.
  Status append(const WalRecord& record);

  // Group commit: frames every record into one buffer, writes it with one
  // write call (rolled back as a whole on failure), then flushes once when
  // the policy's fsync is on, whatever fsync_every says, so the batch is
  // durable when this returns. Refuses an unframeable record before writing.
  Status append_batch(std::span<const WalRecord> records);

  // Flushes appended records to stable storage (fsync on and any pending).
  Status flush();

  // Where the next append starts: the file's size once a pending torn tail
  // is cut off (compaction reads the records appended after this offset).
  Result<uint64_t> end_offset();

  const std::string& path() const { return path_; }
  const WalSyncPolicy& policy() const { return policy_; }
  // Records appended since the last flush.
  uint64_t pending() const { return pending_; }
  // Flushes to stable storage done so far (the header flush included).
  uint64_t sync_count() const { return syncs_; }

 private:
  WalWriter(std::string path, file::File f, const WalSyncPolicy& policy, std::optional<WalTail> torn);
  Status sync();
  Status cut_torn_tail();
  // Appends the frame of `record` to frame_ (body encoded through buffer_).
  void frame_into(const WalRecord& record);
  // Writes frame_ with one call; rolls back on failure.
  Status write_frames();

  std::string path_;
  file::File file_;
  WalSyncPolicy policy_;
  Instant last_sync_;
  uint64_t pending_ = 0;
  uint64_t syncs_ = 0;
  std::optional<WalTail> torn_;
  std::vector<uint8_t> buffer_;  // record body, reused between appends
  std::vector<uint8_t> frame_;   // framed records of one append, reused
  std::optional<StoreError> broken_;  // set when a rollback failed
};

}  // namespace ulmora
