#include "segment/inspect.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "base/adler32.h"
#include "base/file.h"
#include "format/snapshot.h"
#include "format/wal_record.h"
#include "segment/segment_files.h"
#include "segment/wal_writer.h"

namespace ulmora {

namespace {

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Reads up to 8 bytes at `offset` into `out`; returns how many were read.
Result<size_t> read_at(file::File& f, uint64_t offset, uint8_t* out) {
  if (::lseek(f.fd(), static_cast<off_t>(offset), SEEK_SET) < 0) return io_error(errno);
  return f.read_full(out, 8);
}

}  // namespace

SegmentInfo describe(const Segment& seg) {
  SegmentInfo info;
  const hnsw::HnswIndex& g = seg.hnsw();
  info.metric = g.metric();
  info.dim = g.dim();
  info.next_id = seg.next_id();
  info.m = g.m();
  info.ef_construction = g.ef_construction();
  if (seg.filter_keys()) info.filter_keys.emplace(seg.filter_keys()->begin(), seg.filter_keys()->end());
  // Counted in place: a full export would copy every vector.
  const hnsw::GraphShape shape = hnsw::describe_shape(g);
  info.points = shape.nodes;
  for (uint64_t i = 0; i < g.len(); ++i) {
    if (g.live_vector(i) == nullptr || seg.deleted().count(g.point_id(i)) != 0) ++info.deleted;
  }
  info.levels = shape.per_level;
  info.degree.resize(info.levels.size());  // over the nodes that have a list on the level
  for (size_t level = 0; level < shape.lists.size() && level < info.degree.size(); ++level) {
    const hnsw::GraphShape::Lists& lists = shape.lists[level];
    if (info.levels[level] == 0 || lists.count == 0) continue;
    DegreeStats& d = info.degree[level];
    d.min = lists.shortest;
    d.max = lists.longest;
    d.mean = static_cast<double>(lists.entries) / static_cast<double>(lists.count);
  }
  return info;
}

Result<FileInfo> describe_files(const std::string& path) {
  const std::string snapshot_path = segment_file_path(path);
  FileInfo info;
  {
    auto f = file::File::open(snapshot_path, O_RDONLY);
    if (!f.ok()) return f.error();
    auto size = f->size();
    if (!size.ok()) return size.error();
    info.snapshot_bytes = *size;
    uint8_t head[8] = {}, tail[8] = {};
    auto got = read_at(*f, 0, head);
    if (!got.ok()) return got.error();
    info.format_version = 1;
    if (*got == 8 && std::memcmp(head, kSnapshotHeaderMagic, 4) == 0) info.format_version = load_u32(head + 4);
    if (*size >= 8) {
      auto t = read_at(*f, *size - 8, tail);
      if (!t.ok()) return t.error();
      info.checksum = *t == 8 && std::memcmp(tail, kSnapshotTrailerMagic, 4) == 0;
    }
  }
  info.log_path = wal_path_for(snapshot_path);
  info.log_exists = file::exists(info.log_path);
  if (!info.log_exists) return info;
  auto bytes = file::read_all(info.log_path);
  if (!bytes.ok()) return bytes.error();
  const uint8_t* p = bytes->data();
  const uint64_t size = bytes->size();
  info.log_bytes = size;
  uint64_t at = std::min<uint64_t>(size, kWalHeaderSize);
  while (size - at >= 8) {
    const uint64_t len = load_u32(p + at);
    if (size - at - 8 < len) break;
    ++info.log_records;
    at += 8 + len;
  }
  info.log_torn = at < size;
  return info;
}

Result<std::pair<SegmentInfo, FileInfo>> inspect(const std::string& path) {
  using Found = std::pair<SegmentInfo, FileInfo>;
  const std::string snapshot_path = segment_file_path(path);
  return load_consistent<Found>(snapshot_path, [&]() -> Result<Found> {
    // Loaded as ulmoradb.Index loads it: a regular file streams straight into
    // the graph, so inspecting needs little more memory than the graph itself.
    auto seg = Segment::load_snapshot(snapshot_path);
    if (!seg.ok()) return seg.error();
    auto replayed = replay_wal(wal_path_for(snapshot_path), **seg);
    if (!replayed.ok()) return replayed.error();
    auto files = describe_files(snapshot_path);
    if (!files.ok()) return files.error();
    return std::make_pair(describe(**seg), std::move(files.value()));
  });
}

}  // namespace ulmora
