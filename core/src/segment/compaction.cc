#include "segment/compaction.h"

#include <fcntl.h>

#include <cstring>

#include "base/adler32.h"
#include "base/file.h"
#include "format/wal_record.h"
#include "segment/builder.h"
#include "segment/wal_writer.h"

namespace ulmora {

namespace {

bool is_live(const Segment& seg, uint64_t id) {
  if (seg.deleted().count(id) != 0) return false;
  auto at = seg.hnsw().index_of(id);
  return at && seg.hnsw().live_vector(*at) != nullptr;
}

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Writes `bytes` to `temp` and fsyncs it (no rename).
Status write_synced(const std::string& temp, std::span<const uint8_t> bytes) {
  auto f = file::File::open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!f.ok()) return f.error();
  Status s = f->write_all(bytes.data(), bytes.size());
  if (s.ok()) s = f->sync();
  if (!s.ok()) (void)file::remove(temp);
  return s;
}

std::vector<uint8_t> empty_log() {
  std::vector<uint8_t> header(kWalHeaderSize);
  std::memcpy(header.data(), kWalMagic, 4);
  const uint32_t version = kWalVersion;
  std::memcpy(header.data() + 4, &version, 4);
  return header;
}

}  // namespace

Result<std::unique_ptr<Segment>> purged_copy(const Segment& seg, uint64_t threads) {
  const hnsw::HnswIndex& old = seg.hnsw();
  std::vector<uint64_t> nodes;  // survivors' node indices, in node order
  const uint64_t n = old.len();
  nodes.reserve(n);
  for (uint64_t i = 0; i < n; ++i) {
    if (old.live_vector(i) != nullptr && seg.deleted().count(old.point_id(i)) == 0) nodes.push_back(i);
  }
  std::unique_ptr<Segment> fresh = Segment::create(old.metric(), old.m(), old.ef_construction(), old.dim());
  fresh->set_filter_keys(seg.filter_keys());  // before the inserts, so every point gets its edges
  auto row = [&](uint64_t j) {
    const uint64_t i = nodes[j];
    return std::make_pair(old.point_id(i), std::span<const float>(old.vector(i), old.dim()));
  };
  ULMORA_TRY(insert_parallel(fresh->hnsw(), nodes.size(), row, threads, nullptr));
  for (uint64_t i : nodes) {
    const uint64_t id = old.point_id(i);
    std::optional<Payload> payload;
    if (auto it = seg.payloads().find(id); it != seg.payloads().end()) payload = it->second;
    fresh->finish_insert(id, std::span<const float>(old.vector(i), old.dim()), std::move(payload));
  }
  fresh->raise_next_id(seg.next_id());
  if (seg.sq8_enabled()) fresh->enable_sq8();  // new scales from the survivors
  return fresh;
}

Result<std::vector<uint8_t>> filtered_log(const std::string& wal_path, const Segment& seg) {
  std::vector<uint8_t> out = empty_log();
  if (!file::exists(wal_path)) return out;
  auto bytes = file::read_all(wal_path);
  if (!bytes.ok()) return bytes.error();
  const uint8_t* p = bytes->data();
  const uint64_t size = bytes->size();
  if (size < kWalHeaderSize) return out;
  if (std::memcmp(p, kWalMagic, 4) != 0) return StoreError::WalCorruption("missing WAL header");
  for (uint64_t at = kWalHeaderSize; size - at >= 8;) {
    const uint64_t len = load_u32(p + at);
    if (size - at - 8 < len) break;  // torn tail
    const uint8_t* body = p + at + 4;
    if (adler32(body, len) != load_u32(body + len)) return StoreError::WalCorruption("checksum mismatch");
    // Every record kind starts with its u32 variant index and u64 point id.
    bool keep = true;
    if (len >= 12 && load_u32(body) == WalRecord::kUpdatePayload) {
      uint64_t id;
      std::memcpy(&id, body + 4, 8);
      keep = is_live(seg, id);
    }
    if (keep) out.insert(out.end(), p + at, p + at + 8 + len);
    at += 8 + len;
  }
  return out;
}

Status compact_segment(const std::string& path, std::unique_ptr<Segment>& seg, uint64_t threads) {
  const std::string wal = wal_path_for(path);
  const std::string snap_temp = path + ".tmp.compact";
  const std::string wal_temp = wal + ".tmp.compact";
  if (seg->wal()) ULMORA_TRY(seg->wal()->flush());

  // 1. The purged snapshot, durable under its temporary name.
  auto fresh = purged_copy(*seg, threads);
  if (!fresh.ok()) return fresh.error();
  {
    SnapshotWriteOptions wo;
    wo.created_at_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count());
    const std::vector<uint8_t> bytes = encode_snapshot_file((*fresh)->to_snapshot(), wo);
    ULMORA_TRY(write_synced(snap_temp, bytes));
  }
  auto abandon = [&](Status s) {
    (void)file::remove(snap_temp);
    (void)file::remove(wal_temp);
    return s;
  };
  // 2. The filtered log in place of the log.
  auto log = filtered_log(wal, *seg);
  if (!log.ok()) return abandon(log.error());
  if (Status s = write_synced(wal_temp, *log); !s.ok()) return abandon(s);
  if (Status s = file::rename(wal_temp, wal); !s.ok()) return abandon(s);
  // The writer's file is no longer the log; from here on every exit path
  // reopens a writer on whatever log is in place.
  seg->attach_wal(nullptr);
  auto reattach = [&](Status s) -> Status {
    (void)file::remove(snap_temp);
    auto writer = WalWriter::open(wal, WalSyncPolicy::from_env());
    if (!writer.ok()) return s.ok() ? Status(writer.error()) : s;
    seg->attach_wal(std::move(writer.value()));
    return s;
  };
  if (Status s = file::sync_dir(wal); !s.ok()) return reattach(s);
  // 3. The purged snapshot in place of the snapshot.
  if (Status s = file::rename(snap_temp, path); !s.ok()) return reattach(s);
  seg = std::move(fresh.value());
  if (Status s = file::sync_dir(path); !s.ok()) return reattach(s);
  // 4. An empty log.
  const std::vector<uint8_t> header = empty_log();
  return reattach(write_file_durably(wal, header, nullptr));
}

}  // namespace ulmora
