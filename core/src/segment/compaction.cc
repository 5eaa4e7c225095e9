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

std::vector<uint8_t> empty_log() {
  std::vector<uint8_t> header(kWalHeaderSize);
  std::memcpy(header.data(), kWalMagic, 4);
  const uint32_t version = kWalVersion;
  std::memcpy(header.data() + 4, &version, 4);
  return header;
}

}  // namespace

Status write_synced(const std::string& temp, std::span<const uint8_t> bytes) {
  auto f = file::File::open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!f.ok()) return f.error();
  Status s = f->write_all(bytes.data(), bytes.size());
  if (s.ok()) s = f->sync();
  if (!s.ok()) (void)file::remove(temp);
  return s;
}

Survivors survivors_of(const Segment& seg) {
  Survivors out;
  seg.for_each_live([&](uint64_t id, uint64_t node) {
    out.nodes.push_back(node);
    auto it = seg.payloads().find(id);
    out.payloads.push_back(it == seg.payloads().end() ? std::nullopt : std::optional<Payload>(it->second));
  });
  out.next_id = seg.next_id();
  out.filter_keys = seg.filter_keys();
  out.sq8 = seg.sq8_enabled();
  return out;
}

Result<std::unique_ptr<Segment>> purged_copy(const hnsw::HnswIndex& old, Survivors&& survivors, uint64_t threads) {
  const std::vector<uint64_t>& nodes = survivors.nodes;
  std::unique_ptr<Segment> fresh = Segment::create(old.metric(), old.m(), old.ef_construction(), old.dim());
  fresh->set_filter_keys(std::move(survivors.filter_keys));  // before the inserts, so every point gets its edges
  auto row = [&](uint64_t j) {
    const uint64_t i = nodes[j];
    return std::make_pair(old.point_id(i), std::span<const float>(old.vector(i), old.dim()));
  };
  ULMORA_TRY(insert_parallel(fresh->hnsw(), nodes.size(), row, threads, nullptr));
  for (uint64_t j = 0; j < nodes.size(); ++j) {
    const uint64_t i = nodes[j];
    fresh->finish_insert(old.point_id(i), std::span<const float>(old.vector(i), old.dim()),
                         std::move(survivors.payloads[j]));
  }
  fresh->raise_next_id(survivors.next_id);
  if (survivors.sq8) fresh->enable_sq8();  // new scales from the survivors
  return fresh;
}

Result<std::unique_ptr<Segment>> purged_copy(const Segment& seg, uint64_t threads) {
  return purged_copy(seg.hnsw(), survivors_of(seg), threads);
}

Status apply_changes(Segment& fresh, std::vector<WalRecord>&& records, uint64_t threads) {
  for (size_t at = 0; at < records.size();) {
    WalRecord& r = records[at];
    if (r.kind == WalRecord::kDelete) {
      ULMORA_TRY(fresh.remove(r.point_id, Segment::Source::kReplay, Segment::Purge::kNever));
      ++at;
      continue;
    }
    if (r.kind == WalRecord::kUpdatePayload) {
      if (!r.payload) return StoreError::Serialization("payload update without a payload");
      ULMORA_TRY(fresh.update_payload(r.point_id, std::move(*r.payload), Segment::Source::kReplay));
      ++at;
      continue;
    }
    // A run of inserts: the graph first (in parallel), then payloads in order.
    size_t end = at;
    while (end < records.size() && records[end].kind == WalRecord::kInsert) ++end;
    for (size_t i = at; i < end; ++i) {
      if (records[i].vector.size() != fresh.hnsw().dim()) {
        return StoreError::VectorLengthMismatch(fresh.hnsw().dim(), records[i].vector.size());
      }
    }
    const RowSource rows = [&](uint64_t i) {
      const WalRecord& x = records[at + i];
      return std::make_pair(x.point_id, std::span<const float>(x.vector));
    };
    ULMORA_TRY(insert_parallel(fresh.hnsw(), end - at, rows, threads, nullptr));
    for (size_t i = at; i < end; ++i) fresh.finish_insert(records[i].point_id, records[i].vector, std::move(records[i].payload));
    at = end;
  }
  return Status::Ok();
}

Result<FilteredLogs> filtered_logs(const std::string& wal_path, const Segment& seg, uint64_t from) {
  FilteredLogs out{empty_log(), empty_log()};
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
    if (keep) {
      out.whole.insert(out.whole.end(), p + at, p + at + 8 + len);
      if (at >= from) out.tail.insert(out.tail.end(), p + at, p + at + 8 + len);
    }
    at += 8 + len;
  }
  return out;
}

Result<std::vector<uint8_t>> filtered_log(const std::string& wal_path, const Segment& seg) {
  auto logs = filtered_logs(wal_path, seg, UINT64_MAX);
  if (!logs.ok()) return logs.error();
  return std::move(logs->whole);
}

Status install_compacted(const std::string& path, Segment& current, uint64_t from, bool* replaced) {
  *replaced = false;
  const std::string wal = wal_path_for(path);
  const std::string snap_temp = path + ".tmp.compact";
  const std::string wal_temp = wal + ".tmp.compact";
  auto abandon = [&](Status s) {
    (void)file::remove(snap_temp);
    (void)file::remove(wal_temp);
    return s;
  };
  // 1. The filtered log in place of the log.
  auto logs = filtered_logs(wal, current, from);
  if (!logs.ok()) return abandon(logs.error());
  if (Status s = write_synced(wal_temp, logs->whole); !s.ok()) return abandon(s);
  if (Status s = file::rename(wal_temp, wal); !s.ok()) return abandon(s);
  // The writer's file is no longer the log.
  current.attach_wal(nullptr);
  if (Status s = file::sync_dir(wal); !s.ok()) return abandon(s);
  // 2. The purged snapshot in place of the snapshot.
  if (Status s = file::rename(snap_temp, path); !s.ok()) return abandon(s);
  *replaced = true;
  if (Status s = file::sync_dir(path); !s.ok()) return s;
  // 3. The changes the purged snapshot lacks (often none) as the log.
  return write_file_durably(wal, logs->tail, nullptr);
}

}  // namespace ulmora
