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

namespace ulmora {

// Frame integers are written from memory as they are.
static_assert(std::endian::native == std::endian::little);

StoreError io_error(int err) {
  return StoreError::Io(std::error_code(err, std::system_category()).message() + " (os error " +
                        std::to_string(err) + ")");
}

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
  p.fsync = env::flag("VECTORDB_WAL_FSYNC").value_or(true);
  uint64_t every = env::count("VECTORDB_WAL_FSYNC_EVERY").value_or(100);
  p.fsync_every = every == 0 ? 1 : every;
  uint64_t ms = env::count("VECTORDB_WAL_FSYNC_MS").value_or(100);
  // Beyond ~292 million years the interval is as good as "never by time".
  constexpr uint64_t kMaxMs = static_cast<uint64_t>(std::chrono::milliseconds::max().count());
  p.fsync_interval = std::chrono::milliseconds(static_cast<int64_t>(ms > kMaxMs ? kMaxMs : ms));
  return p;
}

Result<std::unique_ptr<WalWriter>> WalWriter::open(const std::string& path, const WalSyncPolicy& policy,
                                                   std::optional<WalTail> torn) {
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return io_error(errno);
  std::unique_ptr<WalWriter> w(new WalWriter(path, fd, policy, torn));
  struct stat st;
  if (::fstat(fd, &st) != 0) return io_error(errno);
  if (st.st_size == 0) {
    uint8_t header[kWalHeaderSize];
    std::memcpy(header, kWalMagic, 4);
    uint32_t version = kWalVersion;
    std::memcpy(header + 4, &version, 4);
    ULMORA_TRY(w->write_all(header, sizeof header));
    if (policy.fsync) ULMORA_TRY(w->sync());
  }
  w->last_sync_ = policy.clock();
  w->pending_ = 0;
  return w;
}

WalWriter::WalWriter(std::string path, int fd, const WalSyncPolicy& policy, std::optional<WalTail> torn)
    : path_(std::move(path)), fd_(fd), policy_(policy), torn_(torn) {
  if (policy_.fsync_every == 0) policy_.fsync_every = 1;
  if (policy_.clock == nullptr) policy_.clock = &ulmora::now;
}

WalWriter::~WalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

Status WalWriter::write_all(const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd_, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return Status::Ok();
}

Status WalWriter::sync() {
  while (::fdatasync(fd_) != 0) {
    if (errno != EINTR) return io_error(errno);
  }
  ++syncs_;
  return Status::Ok();
}

Status WalWriter::cut_torn_tail() {
  WalTail tail = *torn_;
  torn_.reset();  // one attempt: a failure below is reported, not retried
  struct stat st;
  if (::fstat(fd_, &st) != 0) return io_error(errno);
  // Someone else appended since the replay: what follows the torn record is
  // theirs, so leave the file alone.
  if (static_cast<uint64_t>(st.st_size) != tail.seen_len) return Status::Ok();
  bool header_torn = tail.intact_end < kWalHeaderSize;
  off_t keep = header_torn ? 0 : static_cast<off_t>(tail.intact_end);
  if (::ftruncate(fd_, keep) != 0) return io_error(errno);
  if (header_torn) {
    uint8_t header[kWalHeaderSize];
    std::memcpy(header, kWalMagic, 4);
    uint32_t version = kWalVersion;
    std::memcpy(header + 4, &version, 4);
    ULMORA_TRY(write_all(header, sizeof header));
  }
  return Status::Ok();
}

Status WalWriter::append(const WalRecord& record) {
  // Refuse an unframeable record before allocating or writing anything.
  auto length = wal_frame_length(wal_record_size(record));
  if (!length.ok()) return length.error();
  if (torn_) ULMORA_TRY(cut_torn_tail());

  encode_wal_record(record, buffer_);
  // Frame what was actually encoded (equal to the computed size).
  auto framed = wal_frame_length(buffer_.size());
  if (!framed.ok()) return framed.error();
  uint32_t len = *framed;
  uint32_t checksum = adler32(buffer_.data(), buffer_.size());
  ULMORA_TRY(write_all(reinterpret_cast<const uint8_t*>(&len), 4));
  ULMORA_TRY(write_all(buffer_.data(), buffer_.size()));
  ULMORA_TRY(write_all(reinterpret_cast<const uint8_t*>(&checksum), 4));
  if (pending_ != UINT64_MAX) ++pending_;

  if (!policy_.fsync) return Status::Ok();
  Instant t = policy_.clock();
  bool due = pending_ >= policy_.fsync_every ||
             (policy_.fsync_interval.count() != 0 && t >= last_sync_ && t - last_sync_ >= policy_.fsync_interval);
  if (!due) return Status::Ok();
  ULMORA_TRY(sync());
  pending_ = 0;
  last_sync_ = policy_.clock();
  return Status::Ok();
}

}  // namespace ulmora
