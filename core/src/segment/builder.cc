#include "segment/builder.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "base/file.h"
#include "segment/compaction.h"
#include "segment/segment.h"
#include "segment/segment_files.h"
#include "segment/wal_writer.h"
#include "segment/writer_lock.h"

namespace ulmora {

StoreError cancelled_error() { return io_error(ECANCELED); }

bool is_cancelled(const StoreError& e) {
  return e.kind() == ErrorKind::kIo && e.text() == io_error(ECANCELED).text();
}

std::optional<std::pair<uint64_t, uint64_t>> find_non_finite(const float* data, uint64_t rows, uint64_t dim) {
  const uint64_t n = rows * dim;
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, data + i, 4);
    if ((bits & 0x7F800000u) == 0x7F800000u) return std::make_pair(i / dim, i % dim);
  }
  return std::nullopt;
}

std::optional<uint64_t> find_duplicate(std::span<const uint64_t> ids) {
  std::unordered_set<uint64_t> seen;
  seen.reserve(ids.size());
  for (uint64_t id : ids) {
    if (!seen.insert(id).second) return id;
  }
  return std::nullopt;
}

Status insert_parallel(hnsw::HnswIndex& graph, uint64_t n, const RowSource& row, uint64_t threads,
                       Progress* progress) {
  std::atomic<uint64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex err_mu;
  std::optional<StoreError> first_error;
  auto fail = [&](StoreError e) {
    std::lock_guard<std::mutex> lock(err_mu);
    if (!first_error) first_error = std::move(e);
    failed.store(true, std::memory_order_relaxed);
  };
  auto work = [&]() noexcept {
    try {
      for (;;) {
        if (failed.load(std::memory_order_relaxed)) return;
        if (progress && progress->cancel.load(std::memory_order_relaxed)) return fail(cancelled_error());
        const uint64_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= n) return;
        auto [id, vector] = row(i);
        if (Status s = graph.insert(id, vector); !s.ok()) return fail(s.error());
        if (progress) progress->done.fetch_add(1, std::memory_order_relaxed);
      }
    } catch (const std::exception& e) {
      fail(StoreError::Io(std::string("internal failure during insertion: ") + e.what()));
    } catch (...) {
      fail(StoreError::Io("internal failure during insertion"));
    }
  };
  threads = std::clamp<uint64_t>(threads, 1, std::max<uint64_t>(n, 1));
  std::vector<std::thread> pool;
  for (uint64_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (...) {
      break;  // fewer threads do the same work
    }
  }
  work();
  for (auto& t : pool) t.join();
  if (first_error) return *first_error;
  return Status::Ok();
}

std::vector<std::string> segment_temp_paths(const std::string& snapshot_path) {
  const std::string wal = wal_path_for(snapshot_path);
  return {snapshot_path + ".tmp.write", wal + ".tmp.write", snapshot_path + ".tmp.compact",
          wal + ".tmp.compact"};
}

Status write_file_durably(const std::string& path, std::span<const uint8_t> bytes, const std::atomic<bool>* cancel,
                          const std::function<Status()>& before_rename) {
  const std::string temp = path + ".tmp.write";
  auto fail = [&](Status s) {
    (void)file::remove(temp);
    return s;
  };
  {
    auto f = file::File::open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!f.ok()) return f.error();
    if (Status s = f->write_all(bytes.data(), bytes.size()); !s.ok()) return fail(s);
    if (Status s = f->sync(); !s.ok()) return fail(s);
  }
  if (cancel && cancel->load()) return fail(cancelled_error());
  if (before_rename) {
    if (Status s = before_rename(); !s.ok()) return fail(s);
  }
  if (Status s = file::rename(temp, path); !s.ok()) return fail(s);
  return file::sync_dir(path);
}

std::string check_build_request(const BuildRequest& request) {
  if (request.dim == 0) return "vectors must have at least one dimension";
  if (request.rows > kMaxPoints) return "too many points (" + std::to_string(request.rows) + ")";
  if (request.m < 2 || request.m > 4096) return "m must be between 2 and 4096, got " + std::to_string(request.m);
  if (request.ef_construction < 1) return "ef_construction must be at least 1";
  if (!request.ids.empty() && request.ids.size() != request.rows) {
    return "got " + std::to_string(request.ids.size()) + " ids for " + std::to_string(request.rows) + " vectors";
  }
  if (request.payloads && request.payloads->size() != request.rows) {
    return "got " + std::to_string(request.payloads->size()) + " payloads for " + std::to_string(request.rows) + " vectors";
  }
  if (auto bad = find_non_finite(request.vectors, request.rows, request.dim)) {
    return "non-finite value at row " + std::to_string(bad->first) + ", column " + std::to_string(bad->second);
  }
  if (auto dup = find_duplicate(request.ids)) return "duplicate id " + std::to_string(*dup);
  if (request.filter_keys) return check_filter_keys(*request.filter_keys);
  return {};
}

std::string check_filter_keys(const std::vector<std::string>& keys) {
  if (keys.empty()) return "filter_keys must name at least one key";
  for (const std::string& k : keys) {
    if (k.empty()) return "filter_keys must not contain an empty key";
  }
  return {};
}

namespace {

uint64_t now_ms() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

std::vector<uint8_t> empty_log_bytes() {
  std::vector<uint8_t> header(kWalHeaderSize);
  std::memcpy(header.data(), kWalMagic, 4);
  const uint32_t version = kWalVersion;
  std::memcpy(header.data() + 4, &version, 4);
  return header;
}

// The records of the log beside `path` folded into its snapshot, by the
// compaction order with the loaded segment itself (deleted points kept) as
// the new snapshot: the filtered log over the log, the folded snapshot over
// the snapshot, then a header-only log. Each step leaves a pair that loads
// to the old segment's state. Nothing to do when the log holds no record;
// `*unloadable` is set (and nothing done) when the old segment does not
// decode or replay.
Status fold_log(const std::string& path, bool* unloadable) {
  const std::string wal = wal_path_for(path);
  struct stat st;
  if (::stat(wal.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) <= kWalHeaderSize) return Status::Ok();
  if (!file::exists(path)) {  // a log without its snapshot
    *unloadable = true;
    return Status::Ok();
  }
  auto old = Segment::load_for_writing(path);
  if (!old.ok()) {
    // A read failure fails the build; a segment that does not decode or
    // replay is no segment to keep.
    if (old.error().kind() == ErrorKind::kIo) return old.error();
    *unloadable = true;
    return Status::Ok();
  }
  auto log = filtered_log(wal, **old);
  if (!log.ok()) return log.error();
  SnapshotWriteOptions wo;
  wo.created_at_ms = now_ms();
  const std::vector<uint8_t> folded = encode_snapshot_file((*old)->to_snapshot(), wo);
  old->reset();
  ULMORA_TRY(write_file_durably(wal, *log, nullptr));
  ULMORA_TRY(write_file_durably(path, folded, nullptr));
  return write_file_durably(wal, empty_log_bytes(), nullptr);
}

}  // namespace

Status replace_segment(const std::string& path, std::span<const uint8_t> bytes, const std::atomic<bool>* cancel) {
  if (cancel && cancel->load()) return cancelled_error();
  const std::string wal = wal_path_for(path);
  bool unloadable = false;
  ULMORA_TRY(fold_log(path, &unloadable));
  // The old log is header only now (or missing), so it fits the new
  // snapshot as well as the old one. A log that could not be folded (the
  // old segment does not load) goes before the new snapshot comes in.
  auto drop_unloadable_log = [&]() -> Status {
    if (!unloadable) return Status::Ok();
    ULMORA_TRY(file::remove(wal));
    return file::sync_dir(wal);
  };
  ULMORA_TRY(write_file_durably(path, bytes, cancel, drop_unloadable_log));
  if (!file::exists(wal)) return Status::Ok();
  // The new segment is in place; its empty log goes, as a new build has none.
  ULMORA_TRY(file::remove(wal));
  return file::sync_dir(wal);
}

Result<BuildStats> build_segment(const std::string& path, BuildRequest& request, Progress* progress, bool* busy) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  if (std::string bad = check_build_request(request); !bad.empty()) return StoreError::InvalidPayload(bad);
  // The segment's files are those of the file the path names (a symlink is
  // written through, and its lock is the one its writers take).
  const std::string target = segment_file_path(path);
  auto lock = WriterLock::acquire(target, /*create=*/false, busy, path);
  if (!lock.ok()) return lock.error();
  // Fail before the (long) insertion when the file cannot be written there.
  {
    const std::string probe = target + ".tmp.write";
    auto f = file::File::open(probe, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!f.ok()) return f.error();
    (void)file::remove(probe);
  }

  std::unique_ptr<Segment> seg = Segment::create(request.metric, request.m, request.ef_construction, request.dim);
  if (request.seed) seg->hnsw().seed_levels(*request.seed);
  if (request.filter_keys) {
    seg->set_filter_keys(std::set<std::string>(request.filter_keys->begin(), request.filter_keys->end()));
  }
  auto id_of = [&](uint64_t i) { return request.ids.empty() ? i : request.ids[i]; };
  auto vector_of = [&](uint64_t i) { return std::span<const float>(request.vectors + i * request.dim, request.dim); };
  const RowSource rows = [&](uint64_t i) { return std::make_pair(id_of(i), vector_of(i)); };
  ULMORA_TRY(insert_parallel(seg->hnsw(), request.rows, rows, request.threads, progress));
  BuildStats stats;
  stats.points = request.rows;
  stats.insert_seconds = std::chrono::duration<double>(Clock::now() - start).count();

  for (uint64_t i = 0; i < request.rows; ++i) {
    std::optional<Payload> payload;
    if (request.payloads) payload = std::move((*request.payloads)[i]);
    seg->finish_insert(id_of(i), vector_of(i), std::move(payload));
  }
  if (progress && progress->cancel.load()) return cancelled_error();

  SnapshotWriteOptions wo;
  wo.created_at_ms = now_ms();
  std::vector<uint8_t> bytes;
  {
    SegmentSnapshot snapshot = seg->to_snapshot();
    seg.reset();
    bytes = encode_snapshot_file(snapshot, wo);
  }
  ULMORA_TRY(replace_segment(target, bytes, progress ? &progress->cancel : nullptr));
  stats.bytes = bytes.size();
  stats.total_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return stats;
}

}  // namespace ulmora
