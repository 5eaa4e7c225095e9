// Streamed reading of a versioned snapshot file, for the loader's fast
// path: the file's layout found from small reads at its ends, and a reader
// that walks a byte range through a small window, summing the Adler-32 of
// what it consumes. Only the window is resident, so a loader that decodes
// straight into its final structures never holds the file's bytes and the
// decoded graph at once.
//
// Neither part reports decode errors: anything unusual (an unversioned
// body, a count the bytes cannot back) makes the caller fall back to the
// whole-file path, which owns every error message and its precedence. Read
// failures are real errors and are returned as such.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/error.h"
#include "base/file.h"

namespace ulmora {

struct SnapshotLayout {
  uint64_t file_size = 0;
  uint64_t body_end = 0;              // file_size, or file_size - 8 with a trailer
  std::optional<uint32_t> checksum;   // the trailer's stored Adler-32
  uint64_t record_begin = 8;          // the segment record, after the version header
  uint64_t record_end = 0;            // before a valid metadata block, else body_end
};

// The layout of a version-2 or version-3 file, read through `f`; nothing
// when the file has another form (the whole-file path handles those).
Result<std::optional<SnapshotLayout>> probe_snapshot_layout(const file::File& f);

// Reads bytes [begin, end) of a file in order. Every byte consumed, read or
// skipped, goes through the running checksum; the time spent in reads and
// in summing is kept for the loader's timing line.
class StreamReader {
 public:
  StreamReader(const file::File& f, uint64_t begin, uint64_t end, size_t window = size_t{1} << 20);

  uint64_t position() const { return next_read_ - (hi_ - lo_); }
  uint64_t remaining() const { return end_ - position(); }

  // False at end of range; a failed read also sets error().
  bool u64(uint64_t& v);
  bool bytes(void* out, size_t n);
  bool skip(uint64_t n);
  // The next n bytes in place (n <= window size), or nullptr at end of
  // range. Valid until the next call; consume with advance().
  const uint8_t* peek(size_t n);
  void advance(size_t n) { lo_ += n; }
  // Bytes already in the window at the cursor.
  size_t buffered() const { return hi_ - lo_; }
  const uint8_t* cursor() const { return buf_.get() + lo_; }

  // Adler-32 of every byte from `begin` to the cursor.
  uint32_t checksum();
  const std::optional<StoreError>& error() const { return error_; }
  uint64_t read_ns() const { return read_ns_; }
  uint64_t checksum_ns() const { return sum_ns_; }

 private:
  bool fill(size_t need);
  void sum_to_cursor();

  const file::File& file_;
  uint64_t end_;
  uint64_t next_read_;  // file offset of buf_[hi_]
  size_t cap_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t lo_ = 0, hi_ = 0, summed_ = 0;
  uint32_t adler_ = 1;
  uint64_t read_ns_ = 0, sum_ns_ = 0;
  std::optional<StoreError> error_;
};

}  // namespace ulmora
