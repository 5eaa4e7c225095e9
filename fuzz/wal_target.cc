// Fuzz target: a log replayed into a loaded segment, either through
// replay_wal on a segment built from a fixed snapshot, or through
// Segment::load with the snapshot file and the log beside it. After a
// successful replay the segment's invariants must hold and its graph must
// answer searches. Input layout: seeds.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "base/adler32.h"
#include "base/file.h"
#include "check.h"
#include "exercise.h"
#include "format/codec.h"
#include "seeds.h"
#include "segment/segment.h"

namespace {

using namespace ulmora;

struct Paths {
  std::string snapshot;
  std::string wal;
};

// One scratch directory per process, in memory when /dev/shm exists.
const Paths& paths() {
  static const Paths p = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = std::string(base) + "/ulmora-fuzz-wal-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    return Paths{dir + "/seg.snap", dir + "/seg.wal"};
  }();
  return p;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  auto f = file::File::open(path, O_WRONLY | O_CREAT | O_TRUNC);
  FUZZ_CHECK(f.ok());
  FUZZ_CHECK(f.value().write_all(data, size).ok());
}

// Rewrites the Adler-32 of every whole record in place.
void repair_checksums(std::vector<uint8_t>& log) {
  size_t at = kWalHeaderSize;
  while (at + 4 <= log.size()) {
    const uint64_t len = load_le<uint32_t>(log.data() + at);
    if (len > log.size() - at - 4 || log.size() - at - 4 - len < 4) return;
    const uint8_t* body = log.data() + at + 4;
    store_le<uint32_t>(log.data() + at + 4 + len, adler32(body, static_cast<size_t>(len)));
    at += 4 + static_cast<size_t>(len) + 4;
  }
}

// The invariants segment.h states, for a segment that started consistent.
void check_invariants(const Segment& seg) {
  const hnsw::HnswIndex& graph = seg.hnsw();
  for (uint64_t id : seg.deleted()) {
    auto at = graph.index_of(id);
    FUZZ_CHECK(at.has_value());
    FUZZ_CHECK(graph.state(*at) == hnsw::NodeState::kDeleted);
    FUZZ_CHECK(!seg.payloads().count(id));
  }
  size_t scalars = 0;
  for (const auto& [id, payload] : seg.payloads()) {
    for (const auto& [key, value] : payload) {
      if (!value.is_scalar()) continue;
      ++scalars;
      auto by_key = seg.payload_index().find(key);
      FUZZ_CHECK(by_key != seg.payload_index().end());
      auto by_value = by_key->second.find(value);
      FUZZ_CHECK(by_value != by_key->second.end());
      FUZZ_CHECK(by_value->second.count(id));
    }
  }
  size_t indexed = 0;
  for (const auto& [key, by_value] : seg.payload_index()) {
    FUZZ_CHECK(!by_value.empty());
    for (const auto& [value, ids] : by_value) {
      FUZZ_CHECK(!ids.empty());
      indexed += ids.size();
    }
  }
  FUZZ_CHECK(indexed == scalars);
}

// The segment of an input that carries its own snapshot file; null when
// that file does not load.
std::unique_ptr<Segment> own_segment(const uint8_t*& data, size_t& size) {
  if (size < 4) return nullptr;
  const size_t len = std::min<size_t>(load_le<uint32_t>(data), size - 4);
  std::span<const uint8_t> file(data + 4, len);
  data += 4 + len;
  size -= 4 + len;
  auto body = snapshot_body(file);
  if (!body.ok()) return nullptr;
  auto decoded = decode_snapshot_body(body.value());
  if (!decoded.ok()) return nullptr;
  auto built = Segment::from_snapshot(std::move(decoded.value()));
  return built.ok() ? std::move(built.value()) : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Nothing the replay opens afterwards needs to reach the disk.
  setenv("VECTORDB_WAL_FSYNC", "0", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint64_t seed = fuzz::digest(data, size);
  const uint8_t control = data[0];
  ++data;
  --size;
  std::unique_ptr<Segment> own;
  if (control & fuzz::kWalOwnSnapshot) {
    own = own_segment(data, size);
    if (!own) return 0;
  }
  std::vector<uint8_t> log(data, data + size);
  if (control & fuzz::kWalRepairChecksums) repair_checksums(log);
  if (control & fuzz::kWalPurge) {
    setenv("VECTORDB_PURGE_DELETIONS", "1", 1);
  } else {
    unsetenv("VECTORDB_PURGE_DELETIONS");
  }
  static SegmentSnapshot fixed[4] = {fuzz::fixed_segment(0), fuzz::fixed_segment(1), fuzz::fixed_segment(2),
                                     fuzz::fixed_segment(3)};
  const SegmentSnapshot& base = fixed[control & fuzz::kWalSegmentMask];
  const Paths& p = paths();
  write_file(p.wal, log.data(), log.size());

  std::unique_ptr<Segment> segment;
  if (own) {
    segment = std::move(own);
    auto replayed = replay_wal(p.wal, *segment);
    if (!replayed.ok()) return 0;
    fuzz::exercise_search(segment->hnsw(), seed);
    return 0;
  }
  if (control & fuzz::kWalFullLoad) {
    const std::vector<uint8_t> snap = encode_snapshot_file(base, {SnapshotForm::kVersion3, true, 0});
    write_file(p.snapshot, snap.data(), snap.size());
    auto loaded = Segment::load(p.snapshot);
    if (!loaded.ok()) return 0;
    segment = std::move(loaded.value());
  } else {
    SegmentSnapshot copy = base;
    auto built = Segment::from_snapshot(std::move(copy));
    FUZZ_CHECK(built.ok());
    segment = std::move(built.value());
    auto replayed = replay_wal(p.wal, *segment);
    if (!replayed.ok()) return 0;
    FUZZ_CHECK(replayed->intact_end <= replayed->file_len);
  }
  check_invariants(*segment);
  fuzz::exercise_search(segment->hnsw(), seed);
  return 0;
}
