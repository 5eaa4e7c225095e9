// Log replay on load: applies the intact records of a segment's log through
// the replay forms of the mutations, then opens the log for appending.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "base/adler32.h"
#include "base/file.h"
#include "format/codec.h"
#include "format/wal_record.h"
#include "segment/segment.h"
#include "segment/wal_writer.h"

namespace ulmora {

namespace {

// Sequential reads through an 8 KiB buffer. A short read at end of file is
// reported as kEof (the bytes that were there are consumed).
class LogReader {
 public:
  enum Outcome { kOk, kEof, kError };

  // Reads `f` from its current offset, which is byte `start` of the log.
  LogReader(file::File& f, uint64_t start) : file_(f), consumed_(start) {}

  Outcome read(uint8_t* dst, size_t n) {
    while (n > 0) {
      if (pos_ == len_ && !fill()) return err_ ? kError : kEof;
      size_t take = std::min(n, len_ - pos_);
      std::memcpy(dst, buf_ + pos_, take);
      pos_ += take;
      consumed_ += take;
      dst += take;
      n -= take;
    }
    return kOk;
  }

  // Replaces `out` with the next n bytes. The vector grows only with bytes
  // actually read, so a corrupt length cannot force a large allocation.
  Outcome read_into(std::vector<uint8_t>& out, size_t n) {
    out.clear();
    while (out.size() < n) {
      if (pos_ == len_ && !fill()) return err_ ? kError : kEof;
      size_t take = std::min(n - out.size(), len_ - pos_);
      out.insert(out.end(), buf_ + pos_, buf_ + pos_ + take);
      pos_ += take;
      consumed_ += take;
    }
    return kOk;
  }

  const StoreError& error() const { return *err_; }
  uint64_t consumed() const { return consumed_; }

 private:
  bool fill() {
    auto r = file_.read_some(buf_, sizeof buf_);
    if (!r.ok()) err_ = r.error();
    if (!r.ok() || *r == 0) return false;
    pos_ = 0;
    len_ = *r;
    return true;
  }

  file::File& file_;
  uint8_t buf_[8192];
  size_t pos_ = 0;
  size_t len_ = 0;
  std::optional<StoreError> err_;
  uint64_t consumed_ = 0;
};

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

Status apply_record(Segment& segment, WalRecord&& record) {
  switch (record.kind) {
    case WalRecord::kInsert: {
      Status s = segment.insert(record.point_id, std::move(record.vector), std::move(record.payload),
                                Segment::Source::kReplay);
      if (!s.ok() && s.error().kind() != ErrorKind::kPointExists) return s;
      return Status::Ok();
    }
    case WalRecord::kDelete:
      return segment.remove(record.point_id, Segment::Source::kReplay);
    case WalRecord::kUpdatePayload:
      return segment.update_payload(record.point_id, record.payload ? std::move(*record.payload) : Payload{},
                                    Segment::Source::kReplay);
  }
  return Status::Ok();
}

// Reads the records from the reader's position (byte `from` of the log; at
// 0 the header comes first), handing each to `take`. Returns where the
// intact records end; a read cut short by the end of file is not an error.
template <class Take>
Result<WalReplay> read_records(LogReader& reader, uint64_t from, Take&& take) {
  WalReplay result;
  auto stop = [&](LogReader::Outcome outcome) -> Result<WalReplay> {
    if (outcome == LogReader::kError) return reader.error();
    result.file_len = reader.consumed();
    return result;
  };
  if (from == 0) {
    uint8_t header[kWalHeaderSize];
    if (auto o = reader.read(header, sizeof header); o != LogReader::kOk) return stop(o);
    if (std::memcmp(header, kWalMagic, 4) != 0) return StoreError::WalCorruption("missing WAL header");
    if (uint32_t version = load_u32(header + 4); version != kWalVersion) {
      return StoreError::WalCorruption("unsupported WAL version " + std::to_string(version));
    }
    from = kWalHeaderSize;
  }
  result.intact_end = from;

  std::vector<uint8_t> body;
  for (;;) {
    uint8_t word[4];
    if (auto o = reader.read(word, 4); o != LogReader::kOk) return stop(o);
    if (auto o = reader.read_into(body, load_u32(word)); o != LogReader::kOk) return stop(o);
    if (auto o = reader.read(word, 4); o != LogReader::kOk) return stop(o);
    if (adler32(body.data(), body.size()) != load_u32(word)) return StoreError::WalCorruption("checksum mismatch");

    Decoder decoder(body.data(), body.size());
    WalRecord record;
    if (!decode_wal_record(decoder, record)) return StoreError::Serialization(decoder.error());
    ULMORA_TRY(take(std::move(record)));
    ++result.records;
    result.intact_end = reader.consumed();
  }
}

}  // namespace

Result<WalReplay> replay_wal(const std::string& path, Segment& segment) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return WalReplay{};
  auto f = file::File::open(path, O_RDONLY);
  // Removed since the stat (a build replacing the segment): no log either.
  if (!f.ok()) return file::exists(path) ? Result<WalReplay>(f.error()) : Result<WalReplay>(WalReplay{});
  LogReader reader(f.value(), 0);
  return read_records(reader, 0, [&](WalRecord&& r) { return apply_record(segment, std::move(r)); });
}

Result<std::vector<WalRecord>> read_wal_from(file::File& log, uint64_t from, uint64_t* end) {
  if (::lseek(log.fd(), static_cast<off_t>(from), SEEK_SET) < 0) return io_error(errno);
  std::vector<WalRecord> records;
  LogReader reader(log, from);
  auto read = read_records(reader, from, [&](WalRecord&& r) {
    records.push_back(std::move(r));
    return Status::Ok();
  });
  if (!read.ok()) return read.error();
  *end = read->intact_end;
  return records;
}

Status apply_wal_records(Segment& segment, std::vector<WalRecord>& records) {
  for (WalRecord& r : records) ULMORA_TRY(apply_record(segment, std::move(r)));
  return Status::Ok();
}

Result<bool> Segment::replay_and_attach(const std::string& wal_path, bool attach) {
  struct stat st;
  if (::stat(wal_path.c_str(), &st) != 0) return false;
  auto replayed = replay_wal(wal_path, *this);
  if (!replayed.ok()) return replayed.error();
  replayed_records_ += replayed->records;
  replayed_log_end_ = replayed->intact_end;
  if (!attach) return true;
  // Removed meanwhile (a build replaced the segment): not created again.
  if (!file::exists(wal_path)) return replayed->records != 0;
  std::optional<WalTail> torn;
  if (replayed->torn()) torn = WalTail{replayed->intact_end, replayed->file_len};
  auto writer = WalWriter::open(wal_path, WalSyncPolicy::from_env(), torn);
  if (!writer.ok()) return writer.error();
  wal_.reset();  // a writer already attached is closed first
  wal_ = std::move(writer.value());
  return true;
}

}  // namespace ulmora
