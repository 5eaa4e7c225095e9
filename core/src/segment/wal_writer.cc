#include "segment/wal_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <bit>
#include <system_error>

#include "base/adler32.h"
#include "base/env.h"
#include "base/env_registry.h"

namespace ulmora {

// Frame integers are written from memory as they are.
static_assert(std::endian::native == std::endian::little);

std::string wal_path_for(const std::string& snapshot_path) {
  size_t slash = snapshot_path.rfind('/');
  size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = snapshot_path.rfind('.');
  // A dot that opens the name (".hidden") does not start an extension.
  if (dot == std::string::npos || dot <= name_start) return snapshot_path + ".wal";
  return snapshot_path.substr(0, dot + 1) + "wal";
}

Result<uint32_t> wal_frame_length(uint64_t size) {
  if (size > kMaxWalBody) {
    return StoreError::Serialization("log record body of " + std::to_string(size) +
                                     " bytes exceeds the frame limit of 4294967295 bytes");
  }
  return static_cast<uint32_t>(size);
}

WalSyncPolicy WalSyncPolicy::from_env() {
  WalSyncPolicy p;
  p.fsync = env::flag(env::kWalFsync.name).value_or(true);
  uint64_t every = env::count(env::kWalFsyncEvery.name).value_or(100);
  p.fsync_every = every == 0 ? 1 : every;
  uint64_t ms = env::count(env::kWalFsyncMs.name).value_or(100);
  // Beyond ~292 million years the interval is as good as "never by time".
  constexpr uint64_t kMaxMs = static_cast<uint64_t>(std::chrono::milliseconds::max().count());
  p.fsync_interval = std::chrono::milliseconds(static_cast<int64_t>(ms > kMaxMs ? kMaxMs : ms));
  return p;
}

Result<std::unique_ptr<WalWriter>> WalWriter::open(const std::string& path, const WalSyncPolicy& policy,
                                                   std::optional<WalTail> torn) {
  auto f = file::File::open(path, O_RDWR | O_APPEND | O_CREAT, 0644);
  if (!f.ok()) return f.error();
  std::unique_ptr<WalWriter> w(new WalWriter(path, std::move(f.value()), policy, torn));
  auto size = w->file_.size();
  if (!size.ok()) return size.error();
  if (*size == 0) {
    uint8_t header[kWalHeaderSize];
    std::memcpy(header, kWalMagic, 4);
    uint32_t version = kWalVersion;
    std::memcpy(header + 4, &version, 4);
    ULMORA_TRY(w->file_.write_all(header, sizeof header));
    if (policy.fsync) ULMORA_TRY(w->sync());
  }
  w->last_sync_ = policy.clock();
  w->pending_ = 0;
  return w;
}

WalWriter::WalWriter(std::string path, file::File f, const WalSyncPolicy& policy, std::optional<WalTail> torn)
    : path_(std::move(path)), file_(std::move(f)), policy_(policy), torn_(torn) {
  if (policy_.fsync_every == 0) policy_.fsync_every = 1;
  if (policy_.clock == nullptr) policy_.clock = &ulmora::now;
}

Status WalWriter::sync() {
  ULMORA_TRY(file_.sync_data());
  ++syncs_;
  return Status::Ok();
}

Status WalWriter::cut_torn_tail() {
  WalTail tail = *torn_;
  torn_.reset();  // one attempt: a failure below is reported, not retried
  auto size = file_.size();
  if (!size.ok()) return size.error();
  // Someone else appended since the replay: what follows the torn record is
  // theirs, so leave the file alone.
  if (*size != tail.seen_len) return Status::Ok();
  bool header_torn = tail.intact_end < kWalHeaderSize;
  ULMORA_TRY(file_.truncate(header_torn ? 0 : tail.intact_end));
  if (header_torn) {
    uint8_t header[kWalHeaderSize];
    std::memcpy(header, kWalMagic, 4);
    uint32_t version = kWalVersion;
    std::memcpy(header + 4, &version, 4);
    ULMORA_TRY(file_.write_all(header, sizeof header));
  }
  return Status::Ok();
}

void WalWriter::frame_into(const WalRecord& record) {
  encode_wal_record(record, buffer_);
  const auto len = static_cast<uint32_t>(buffer_.size());  // checked by the caller
  const uint32_t checksum = adler32(buffer_.data(), buffer_.size());
  const size_t at = frame_.size();
  frame_.resize(at + 8 + buffer_.size());
  std::memcpy(frame_.data() + at, &len, 4);
  std::memcpy(frame_.data() + at + 4, buffer_.data(), buffer_.size());
  std::memcpy(frame_.data() + at + 4 + buffer_.size(), &checksum, 4);
}

Status WalWriter::write_frames() {
  if (broken_) return *broken_;
  if (torn_) ULMORA_TRY(cut_torn_tail());
  auto start = file_.size();
  if (!start.ok()) return start.error();
  Status written = file_.write_all(frame_.data(), frame_.size());
  if (written.ok()) return written;
  // Cut off whatever part of the frames reached the file.
  if (Status cut = file_.truncate(*start); !cut.ok()) {
    broken_ = StoreError::Io("log " + path_ + " has a partial record that could not be cut off (" +
                             cut.error().text() + "); the log refuses further appends");
  }
  return written;
}

Status WalWriter::append(const WalRecord& record) {
  // Refuse an unframeable record before allocating or writing anything.
  auto length = wal_frame_length(wal_record_size(record));
  if (!length.ok()) return length.error();
  frame_.clear();
  frame_into(record);
  ULMORA_TRY(write_frames());
  if (pending_ != UINT64_MAX) ++pending_;

  if (!policy_.fsync) return Status::Ok();
  Instant t = policy_.clock();
  bool due = pending_ >= policy_.fsync_every ||
             (policy_.fsync_interval.count() != 0 && t >= last_sync_ && t - last_sync_ >= policy_.fsync_interval);
  if (!due) return Status::Ok();
  return flush();
}

Status WalWriter::append_batch(std::span<const WalRecord> records) {
  uint64_t total = 0;
  for (const WalRecord& r : records) {
    auto length = wal_frame_length(wal_record_size(r));
    if (!length.ok()) return length.error();
    total += 8 + *length;
  }
  if (records.empty()) return Status::Ok();
  frame_.clear();
  frame_.reserve(total);
  for (const WalRecord& r : records) frame_into(r);
  ULMORA_TRY(write_frames());
  pending_ = pending_ > UINT64_MAX - records.size() ? UINT64_MAX : pending_ + records.size();
  return flush();
}

Result<uint64_t> WalWriter::end_offset() {
  if (broken_) return *broken_;
  if (torn_) ULMORA_TRY(cut_torn_tail());
  return file_.size();
}

Status WalWriter::flush() {
  if (!policy_.fsync || pending_ == 0) return Status::Ok();
  ULMORA_TRY(sync());
  pending_ = 0;
  last_sync_ = policy_.clock();
  return Status::Ok();
}

}  // namespace ulmora
