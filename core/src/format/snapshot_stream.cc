#include "format/snapshot_stream.h"

#include <algorithm>
#include <cstring>

#include "base/adler32.h"
#include "base/clock.h"
#include "format/codec.h"
#include "format/snapshot.h"

namespace ulmora {

namespace {

// The metadata record has a fixed size well below this; decoding a longer
// block reads only its front, so a prefix this long decodes alike.
constexpr size_t kMetadataPrefix = 256;

uint64_t ns_since(Instant start) {
  Instant end = now();
  return end < start ? 0 : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}

// Exactly n bytes at `offset`, or false (short file); read errors are
// returned as errors.
Result<bool> read_exact(const file::File& f, uint64_t offset, uint8_t* out, size_t n) {
  auto got = f.read_at(offset, out, n);
  if (!got.ok()) return got.error();
  return *got == n;
}

// Where the segment record of a version-3 payload [8, body_end) ends: before
// a metadata block that is present and decodes, else at the payload's end.
Result<uint64_t> version3_record_end(const file::File& f, uint64_t body_end) {
  const uint64_t n = body_end - 8;
  if (n < 12) return body_end;
  uint8_t tail[12];
  auto got = read_exact(f, body_end - 12, tail, sizeof tail);
  if (!got.ok()) return got.error();
  if (!*got || std::memcmp(tail + 8, kSnapshotMetadataMagic, 4) != 0) return body_end;
  if (load_le<uint32_t>(tail + 4) != kSnapshotMetadataVersion) return body_end;
  const uint64_t c = load_le<uint32_t>(tail);
  if (n < c + 12) return body_end;
  const uint64_t meta_at = 8 + n - 12 - c;
  uint8_t meta[kMetadataPrefix];
  const size_t len = static_cast<size_t>(std::min<uint64_t>(c, kMetadataPrefix));
  got = read_exact(f, meta_at, meta, len);
  if (!got.ok()) return got.error();
  if (!*got) return body_end;
  Decoder d(meta, len);
  SnapshotMetadata decoded;
  return decode_snapshot_metadata(d, decoded) ? meta_at : body_end;
}

}  // namespace

Result<std::optional<SnapshotLayout>> probe_snapshot_layout(const file::File& f) {
  auto size = f.size();
  if (!size.ok()) return size.error();
  SnapshotLayout l;
  l.file_size = *size;
  if (l.file_size < 16) return std::optional<SnapshotLayout>();
  uint8_t b[8];
  auto got = read_exact(f, l.file_size - 8, b, 8);
  if (!got.ok()) return got.error();
  if (!*got) return std::optional<SnapshotLayout>();
  l.body_end = l.file_size;
  if (std::memcmp(b, kSnapshotTrailerMagic, 4) == 0) {
    l.checksum = load_le<uint32_t>(b + 4);
    l.body_end -= 8;
  }
  if (l.body_end < 8) return std::optional<SnapshotLayout>();
  got = read_exact(f, 0, b, 8);
  if (!got.ok()) return got.error();
  if (!*got || std::memcmp(b, kSnapshotHeaderMagic, 4) != 0) return std::optional<SnapshotLayout>();
  const uint32_t version = load_le<uint32_t>(b + 4);
  if (version == 2) {
    l.record_end = l.body_end;
  } else if (version == 3) {
    auto end = version3_record_end(f, l.body_end);
    if (!end.ok()) return end.error();
    l.record_end = *end;
  } else {
    return std::optional<SnapshotLayout>();
  }
  return std::optional<SnapshotLayout>(l);
}

StreamReader::StreamReader(const file::File& f, uint64_t begin, uint64_t end, size_t window)
    : file_(f), end_(std::max(begin, end)), next_read_(begin), cap_(window), buf_(new uint8_t[window]) {}

void StreamReader::sum_to_cursor() {
  if (summed_ >= lo_) return;
  const Instant t = now();
  adler_ = adler32_update(adler_, buf_.get() + summed_, lo_ - summed_);
  sum_ns_ += ns_since(t);
  summed_ = lo_;
}

uint32_t StreamReader::checksum() {
  sum_to_cursor();
  return adler_;
}

// Makes at least `need` bytes available at the cursor: the unread rest moves
// to the front of the window and the window is filled as far as it goes.
bool StreamReader::fill(size_t need) {
  if (hi_ - lo_ >= need) return true;
  if (need > cap_ || error_) return false;
  sum_to_cursor();
  if (lo_ != 0) {
    std::memmove(buf_.get(), buf_.get() + lo_, hi_ - lo_);
    hi_ -= lo_;
    lo_ = summed_ = 0;
  }
  while (hi_ < need) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(cap_ - hi_, end_ - next_read_));
    if (want == 0) return false;
    const Instant t = now();
    auto got = file_.read_at(next_read_, buf_.get() + hi_, want);
    read_ns_ += ns_since(t);
    if (!got.ok()) {
      error_ = got.error();
      return false;
    }
    if (*got == 0) return false;  // the file shrank under us
    hi_ += *got;
    next_read_ += *got;
  }
  return true;
}

const uint8_t* StreamReader::peek(size_t n) { return fill(n) ? buf_.get() + lo_ : nullptr; }

bool StreamReader::u64(uint64_t& v) {
  const uint8_t* p = peek(8);
  if (!p) return false;
  v = load_le<uint64_t>(p);
  lo_ += 8;
  return true;
}

bool StreamReader::bytes(void* out, size_t n) {
  if (n > remaining()) return false;
  auto* o = static_cast<uint8_t*>(out);
  while (n > 0) {
    if (hi_ == lo_ && !fill(1)) return false;
    const size_t k = std::min(n, hi_ - lo_);
    std::memcpy(o, buf_.get() + lo_, k);
    lo_ += k;
    o += k;
    n -= k;
  }
  return true;
}

bool StreamReader::skip(uint64_t n) {
  if (n > remaining()) return false;
  while (n > 0) {
    if (hi_ == lo_ && !fill(1)) return false;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, hi_ - lo_));
    lo_ += k;
    n -= k;
  }
  return true;
}

}  // namespace ulmora
