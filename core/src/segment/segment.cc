#include "segment/segment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/env.h"
#include "base/env_registry.h"
#include "base/file.h"
#include "base/log.h"
#include "segment/builder.h"
#include "segment/segment_files.h"
#include "segment/wal_writer.h"
#include "vector/hnsw/config.h"
#include "vector/hnsw/filter_edges.h"
#include "vector/hnsw/restore_stream.h"

namespace ulmora {

namespace {

constexpr const char* kUnloadedText = "segment unloaded after memory cap exceeded";
constexpr uint64_t kTimingChunk = 5000;
constexpr uint64_t kPurgeMinDeleted = 100;
constexpr float kPurgeMinRatio = 0.25f;

bool env_flag_on(const char* name, bool unset) { return env::flag(name).value_or(unset); }

// Resident set size of this process, or nothing when it cannot be read.
std::optional<uint64_t> resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "re");
  if (!f) return std::nullopt;
  unsigned long long size = 0, resident = 0;
  int got = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  long page = ::sysconf(_SC_PAGESIZE);
  if (got != 2 || page <= 0) return std::nullopt;
  return static_cast<uint64_t>(resident) * static_cast<uint64_t>(page);
}

using Nanos = std::chrono::nanoseconds;

Nanos since(Instant start, Instant end) { return end < start ? Nanos(0) : std::chrono::duration_cast<Nanos>(end - start); }

// Per-thread sums of timed inserts, reported every 5,000 inserts.
struct InsertTiming {
  Nanos hnsw{0}, payload{0}, filter{0}, total{0};
  uint64_t n = 0;
  uint64_t cum_n = 0;
  Instant chunk_start{};
  bool started = false;
};

struct InsertSpans {
  Nanos hnsw{0}, payload{0}, filter{0}, total{0};
};

thread_local InsertTiming t_insert_timing;

void record_insert_timing(const InsertSpans& s, Instant t0) {
  InsertTiming& acc = t_insert_timing;
  if (!acc.started) {
    acc.chunk_start = t0;
    acc.started = true;
  }
  acc.hnsw += s.hnsw;
  acc.payload += s.payload;
  acc.filter += s.filter;
  acc.total += s.total;
  ++acc.n;
  if (acc.n % kTimingChunk != 0) return;
  acc.cum_n += acc.n;
  Instant t = now();
  const int64_t n = static_cast<int64_t>(acc.n);
  ULMORA_LOG(log::Level::kInfo, "segment",
             "[insert_timing_chunk] n=" + std::to_string(acc.n) + " cum_n=" + std::to_string(acc.cum_n) +
                 " avg_hnsw=" + format_duration(acc.hnsw / n) + " avg_payload_idx=" + format_duration(acc.payload / n) +
                 " avg_filter_edges=" + format_duration(acc.filter / n) + " avg_total=" + format_duration(acc.total / n) +
                 " chunk_elapsed=" + format_duration(since(acc.chunk_start, t)));
  acc.hnsw = acc.payload = acc.filter = acc.total = Nanos(0);
  acc.n = 0;
  acc.chunk_start = t;
}

std::string purge_message(uint64_t d, uint64_t n, float percent) {
  char pct[64];
  std::snprintf(pct, sizeof pct, "%.2f", static_cast<double>(percent));
  return "[DELETE] Triggering purge: " + std::to_string(d) + "/" + std::to_string(n) + " (" + pct + "%) deleted";
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds d) {
  uint64_t v = d.count() < 0 ? 0 : static_cast<uint64_t>(d.count());
  uint64_t unit;
  int digits;
  const char* suffix;
  if (v >= 1000000000) {
    unit = 1000000000, digits = 9, suffix = "s";
  } else if (v >= 1000000) {
    unit = 1000000, digits = 6, suffix = "ms";
  } else if (v >= 1000) {
    unit = 1000, digits = 3, suffix = "µs";
  } else {
    return std::to_string(v) + "ns";
  }
  std::string out = std::to_string(v / unit);
  uint64_t frac = v % unit;
  if (frac != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*llu", digits, static_cast<unsigned long long>(frac));
    std::string f(buf);
    f.erase(f.find_last_not_of('0') + 1);
    out += "." + f;
  }
  return out + suffix;
}

std::string format_load_timing_line(const std::string& path, const LoadTimings& t) {
  return "snapshot_load path=" + path + " bytes=" + std::to_string(t.bytes) + " read_ms=" + std::to_string(t.read_ms) +
         " checksum_ms=" + std::to_string(t.checksum_ms) + " deserialize_ms=" + std::to_string(t.deserialize_ms) +
         " build_ms=" + std::to_string(t.build_ms) + " wal_replay_ms=" + std::to_string(t.wal_replay_ms) +
         " total_ms=" + std::to_string(t.total_ms);
}

// ---- Loading -------------------------------------------------------------

Result<std::unique_ptr<Segment>> Segment::from_snapshot(SegmentSnapshot&& snapshot) {
  auto graph = hnsw::restore(std::move(snapshot.hnsw));
  if (!graph.ok()) return graph.error();
  std::unique_ptr<Segment> seg(new Segment());
  seg->hnsw_ = std::move(graph.value());
  seg->payload_index_ = std::move(snapshot.payload_index);
  seg->payloads_ = std::move(snapshot.payloads);
  seg->deleted_ = std::move(snapshot.deleted);
  seg->next_id_ = snapshot.next_id;
  if (snapshot.filter_keys) seg->filter_keys_.emplace(snapshot.filter_keys->begin(), snapshot.filter_keys->end());
  return seg;
}

Result<std::unique_ptr<Segment>> Segment::load(const std::string& path) { return load_impl(path, LoadMode::kIndex); }

Result<std::unique_ptr<Segment>> Segment::load_for_writing(const std::string& path) {
  return load_impl(path, LoadMode::kWriter);
}

Result<std::unique_ptr<Segment>> Segment::load_readonly(const std::string& path, bool freeze) {
  auto loaded = load_impl(path, LoadMode::kReader);
  // A reader that does not follow its log: freezing lets searches read
  // lists in place and drops what only inserts use.
  if (loaded.ok() && freeze) (*loaded)->hnsw_->freeze();
  return loaded;
}

std::unique_ptr<Segment> Segment::create(Metric metric, uint64_t m, uint64_t ef_construction, uint64_t dim) {
  std::unique_ptr<Segment> seg(new Segment());
  seg->hnsw_ = std::make_unique<hnsw::HnswIndex>(metric, m, ef_construction, /*level_cap=*/16, dim);
  return seg;
}

void Segment::attach_wal(std::unique_ptr<WalWriter> writer) {
  wal_.reset();
  wal_ = std::move(writer);
}

SegmentSnapshot Segment::to_snapshot() const {
  SegmentSnapshot s;
  s.hnsw = hnsw::export_snapshot(*hnsw_);
  s.payload_index = payload_index_;
  s.payloads = payloads_;
  s.deleted = deleted_;
  s.next_id = next_id_;
  if (filter_keys_) s.filter_keys.emplace(filter_keys_->begin(), filter_keys_->end());
  return s;
}

// The whole-file path: read, check, decode, restore. It takes every file
// and reports every error; a failed load returns only the error.
Result<std::unique_ptr<Segment>> Segment::load_whole_file(const std::string& path, LoadTimings& t) {
  // The raw bytes go when this returns, before the graph is built.
  auto decoded = [&]() -> Result<SegmentSnapshot> {
    Instant mark = now();
    auto file = file::read_all(path);
    if (!file.ok()) return file.error();
    t.bytes = file->size();
    t.read_ms = whole_ms(mark, now());

    mark = now();
    auto body = snapshot_body(file->span());
    if (!body.ok()) return body.error();
    t.checksum_ms = whole_ms(mark, now());

    mark = now();
    auto snapshot = decode_snapshot_body(*body);
    t.deserialize_ms = whole_ms(mark, now());
    return snapshot;
  }();
  if (!decoded.ok()) return decoded.error();

  const Instant mark = now();
  auto built = from_snapshot(std::move(decoded.value()));
  if (!built.ok()) return built.error();
  t.build_ms = whole_ms(mark, now());
  return built;
}

// The streamed path (see restore_stream.h) for the regular versioned files:
// never more than a small window of the file resident beside the graph.
// Nothing when it declines and the whole-file path must load the file.
Result<std::unique_ptr<Segment>> Segment::load_streamed(const std::string& path, LoadTimings& t) {
  auto streamed = hnsw::load_streamed(path);
  if (!streamed.ok()) return streamed.error();
  if (!*streamed) return std::unique_ptr<Segment>();
  hnsw::StreamedSegment& s = **streamed;
  std::unique_ptr<Segment> seg(new Segment());
  seg->hnsw_ = std::move(s.index);
  seg->payload_index_ = std::move(s.rest.payload_index);
  seg->payloads_ = std::move(s.rest.payloads);
  seg->deleted_ = std::move(s.rest.deleted);
  seg->next_id_ = s.rest.next_id;
  // The stream skips the metadata block; its filter keys are read apart.
  auto keys = read_snapshot_filter_keys(path);
  if (!keys.ok()) return keys.error();
  if (*keys) seg->filter_keys_.emplace((*keys)->begin(), (*keys)->end());
  t.bytes = s.file_bytes;
  t.read_ms = s.read_ns / 1000000;
  t.checksum_ms = s.checksum_ns / 1000000;
  t.deserialize_ms = s.decode_ns / 1000000;
  t.build_ms = s.build_ns / 1000000;
  return seg;
}

// Streamed when the file's form allows it, else through the whole file.
Result<std::unique_ptr<Segment>> Segment::load_either(const std::string& path, LoadTimings& t) {
  auto loaded = load_streamed(path, t);
  if (loaded.ok() && !*loaded) {
    t = LoadTimings();
    loaded = load_whole_file(path, t);
  }
  return loaded;
}

Result<std::unique_ptr<Segment>> Segment::load_snapshot(const std::string& path) {
  LoadTimings t;
  return load_either(path, t);
}

Result<std::unique_ptr<Segment>> Segment::load_impl(const std::string& path, LoadMode mode) {
  const bool print_timing = env_flag_on(env::kLogSnapshotLoadTiming.name, false);
  // Snapshot and log are named after the file the path resolves to.
  const std::string target = segment_file_path(path);
  LoadTimings t;
  const Instant start = now();
  auto loaded = load_consistent<std::unique_ptr<Segment>>(target, [&] {
    t = LoadTimings();
    return load_pair(target, mode, t);
  });
  if (!loaded.ok()) return loaded.error();

  if (print_timing) {
    t.total_ms = whole_ms(start, now());
    std::string line = format_load_timing_line(path, t);
    std::fprintf(stderr, "%s\n", line.c_str());
    ULMORA_LOG(log::Level::kInfo, "snapshot", line);
  }
  return loaded;
}

// One attempt of a load: the snapshot, then its log.
Result<std::unique_ptr<Segment>> Segment::load_pair(const std::string& path, LoadMode mode, LoadTimings& t) {
  auto loaded = load_either(path, t);
  if (!loaded.ok()) return loaded.error();
  std::unique_ptr<Segment> seg = std::move(loaded.value());
  const bool for_writing = mode == LoadMode::kWriter;
  // A reader replays as the writer did, so it holds the graph the writer holds.
  seg->never_purge_ = mode != LoadMode::kIndex;

  if (for_writing) {
    const std::string wal_path = wal_path_for(path);
    if (!file::exists(wal_path)) {
      // A new log gets its header through an atomic write, so a crash never
      // leaves a log whose name is durable but whose header is not.
      uint8_t header[kWalHeaderSize];
      std::memcpy(header, kWalMagic, 4);
      const uint32_t version = kWalVersion;
      std::memcpy(header + 4, &version, 4);
      // Under a fixed temporary name, which the live segment's open cleans up.
      ULMORA_TRY(write_file_durably(wal_path, std::span<const uint8_t>(header, sizeof header), nullptr));
    }
  }
  if (mode != LoadMode::kIndex || env_flag_on(env::kWalAutoReplay.name, true)) {
    const Instant mark = now();
    auto replayed = seg->replay_and_attach(wal_path_for(path), mode != LoadMode::kReader);
    if (!replayed.ok()) return replayed.error();
    if (*replayed) t.wal_replay_ms = whole_ms(mark, now());
  }
  return seg;
}

Segment::~Segment() = default;

// ---- Mutations -----------------------------------------------------------

Status Segment::refuse_if_unloaded(Source source) const {
  if (source == Source::kCall && unloaded_) return StoreError::MemoryCapExceeded(kUnloadedText);
  return Status::Ok();
}

void Segment::link_filter_edges(hnsw::HnswIndex& graph, uint64_t point_id, std::span<const float> vector,
                                const Payload& payload, const PayloadIndex& index) {
  std::vector<FilterKey> keys;
  if (filter_keys_) {
    keys = ulmora::filter_keys(payload, &*filter_keys_, std::nullopt);
    if (keys.empty()) return;
  } else {
    const auto& config = hnsw::tuning::filter_key_config();
    keys = ulmora::filter_keys(payload, config.keys ? &*config.keys : nullptr, config.max_keys);
    if (keys.empty() || !env_flag_on(env::kFilterEdges.name, false)) return;
  }
  hnsw::add_filter_edges(graph, point_id, vector, payload, index, keys);
}

void Segment::enable_sq8() {
  sq8_ = true;
  hnsw_->quantize_sq8();
}

// Codes for nodes inserted since the last call (or all of them, when the
// graph was empty at enable_sq8()).
void Segment::code_new_nodes() {
  if (!sq8_) return;
  if (hnsw_->quantized()) {
    hnsw_->extend_sq8();
  } else {
    hnsw_->quantize_sq8();
  }
}

Status Segment::insert(uint64_t point_id, std::vector<float> vector, std::optional<Payload> payload, Source source) {
  ULMORA_TRY(refuse_if_unloaded(source));
  const bool live = source == Source::kCall;
  // The cap is read once per process, at the first live insert.
  const std::optional<uint64_t> cap = live ? hnsw::tuning::max_rss_bytes() : std::nullopt;
  const bool timing = env_flag_on(env::kLogInsertTiming.name, false);
  const Instant t0 = timing ? now() : Instant{};

  if (hnsw_->contains(point_id) || payloads_.count(point_id) != 0 || deleted_.count(point_id) != 0) {
    return StoreError::PointExists(point_id);
  }
  // Checked here, not only by the graph, so a refused insert is never logged.
  if (vector.size() != hnsw_->dim()) return StoreError::VectorLengthMismatch(hnsw_->dim(), vector.size());

  if (live && wal_) {
    WalRecord record;
    record.kind = WalRecord::kInsert;
    record.point_id = point_id;
    record.vector = std::move(vector);
    record.payload = std::move(payload);
    Status appended = wal_->append(record);
    vector = std::move(record.vector);
    payload = std::move(record.payload);
    ULMORA_TRY(appended);
  }
  ULMORA_TRY(hnsw_->insert(point_id, vector));

  InsertSpans spans;
  Instant mark = timing ? now() : Instant{};
  if (timing) spans.hnsw = since(t0, mark);
  if (payload) {
    index_payload(payload_index_, point_id, *payload);
    views_.add(point_id, *payload);
    put_payload(payloads_, point_id, std::move(*payload));
    if (timing) {
      Instant t = now();
      spans.payload = since(mark, t);
      mark = t;
    }
    link_filter_edges(*hnsw_, point_id, vector, payloads_.at(point_id), payload_index_);
    if (timing) spans.filter = since(mark, now());
  }
  const uint64_t after = point_id == UINT64_MAX ? UINT64_MAX : point_id + 1;
  if (after > next_id_) next_id_ = after;
  code_new_nodes();
  if (timing) {
    spans.total = since(t0, now());
    record_insert_timing(spans, t0);
  }
  if (cap) {
    auto rss = resident_bytes();
    if (rss && *rss > *cap) unloaded_ = true;
  }
  return Status::Ok();
}

void Segment::finish_insert(uint64_t point_id, std::span<const float> vector, std::optional<Payload>&& payload) {
  if (payload) {
    index_payload(payload_index_, point_id, *payload);
    views_.add(point_id, *payload);
    put_payload(payloads_, point_id, std::move(*payload));
    link_filter_edges(*hnsw_, point_id, vector, payloads_.at(point_id), payload_index_);
  }
  const uint64_t after = point_id == UINT64_MAX ? UINT64_MAX : point_id + 1;
  if (after > next_id_) next_id_ = after;
  code_new_nodes();  // the whole batch at its first point, then nothing
}

void Segment::place_payload(uint64_t point_id, std::optional<Payload>&& payload) {
  if (payload) {
    index_payload(payload_index_, point_id, *payload);
    views_.add(point_id, *payload);
    put_payload(payloads_, point_id, std::move(*payload));
  }
  const uint64_t after = point_id == UINT64_MAX ? UINT64_MAX : point_id + 1;
  if (after > next_id_) next_id_ = after;
}

void Segment::link_payload_edges(uint64_t point_id, std::span<const float> vector) {
  auto it = payloads_.find(point_id);
  if (it != payloads_.end()) link_filter_edges(*hnsw_, point_id, vector, it->second, payload_index_);
}

void Segment::check_memory_cap() {
  const std::optional<uint64_t> cap = hnsw::tuning::max_rss_bytes();
  if (!cap) return;
  auto rss = resident_bytes();
  if (rss && *rss > *cap) unloaded_ = true;
}

Status Segment::remove(uint64_t point_id, Source source, Purge purge) {
  ULMORA_TRY(refuse_if_unloaded(source));
  if (deleted_.count(point_id) != 0 || !hnsw_->contains(point_id)) return Status::Ok();
  if (source == Source::kCall && wal_) {
    WalRecord record;
    record.kind = WalRecord::kDelete;
    record.point_id = point_id;
    ULMORA_TRY(wal_->append(record));
  }
  auto it = payloads_.find(point_id);
  if (it != payloads_.end()) {
    unindex_payload(payload_index_, point_id, it->second);
    views_.remove(point_id, it->second);
    payloads_.erase(it);
  }
  deleted_.insert(point_id);
  hnsw_->mark_deleted(point_id);
  return purge == Purge::kAllowed && !never_purge_ ? maybe_purge() : Status::Ok();
}

Status Segment::maybe_purge() {
  if (!env_flag_on(env::kPurgeDeletions.name, false)) return Status::Ok();
  const uint64_t d = deleted_.size();
  const uint64_t n = hnsw_->len();
  if (d < kPurgeMinDeleted || n == 0) return Status::Ok();
  const float ratio = static_cast<float>(d) / static_cast<float>(n);
  if (!(ratio >= kPurgeMinRatio)) return Status::Ok();
  ULMORA_LOG(log::Level::kInfo, "segment", purge_message(d, n, ratio * 100.0f));
  return rebuild();
}

Status Segment::update_payload(uint64_t point_id, Payload payload, Source source) {
  ULMORA_TRY(refuse_if_unloaded(source));
  if (deleted_.count(point_id) != 0 || !hnsw_->contains(point_id)) return StoreError::PointNotFound(point_id);
  if (source == Source::kCall && wal_) {
    WalRecord record;
    record.kind = WalRecord::kUpdatePayload;
    record.point_id = point_id;
    record.payload = std::move(payload);
    Status appended = wal_->append(record);
    payload = std::move(*record.payload);
    ULMORA_TRY(appended);
  }
  auto it = payloads_.find(point_id);
  if (it != payloads_.end()) {
    unindex_payload(payload_index_, point_id, it->second);
    views_.remove(point_id, it->second);
  }
  index_payload(payload_index_, point_id, payload);
  views_.add(point_id, payload);
  put_payload(payloads_, point_id, std::move(payload));
  return Status::Ok();
}

Result<std::unique_ptr<hnsw::HnswIndex>> Segment::release_graph() {
  if (replayed_records_ == 0) return std::move(hnsw_);
  HnswSnapshot snapshot = hnsw::export_snapshot(*hnsw_);
  // Drop the live graph before restoring, so that at most two copies of the
  // vectors exist at once.
  hnsw_.reset();
  return hnsw::restore(std::move(snapshot));
}

Status Segment::rebuild() {
  if (rebuilding_.exchange(true, std::memory_order_acq_rel)) {
    return StoreError::SearchFailed("Segment rebuild already in progress.");
  }
  struct ClearFlag {
    std::atomic<bool>& flag;
    ~ClearFlag() { flag.store(false, std::memory_order_release); }
  } clear{rebuilding_};

  const hnsw::HnswIndex& old = *hnsw_;
  auto fresh = std::make_unique<hnsw::HnswIndex>(old.metric(), old.m(), old.ef_search(), old.level_cap(), old.dim());
  PayloadIndex index;
  PayloadMap payloads;
  const uint64_t n = old.len();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t p = old.point_id(i);
    // A node the graph itself marks deleted stays gone too, so a purge never
    // brings back a point that searches could not see.
    if (deleted_.count(p) != 0 || old.state(i) == hnsw::NodeState::kDeleted) continue;
    std::span<const float> v(old.vector(i), old.dim());
    ULMORA_TRY(fresh->insert(p, v));
    auto it = payloads_.find(p);
    if (it == payloads_.end()) continue;
    index_payload(index, p, it->second);
    put_payload(payloads, p, it->second);
    link_filter_edges(*fresh, p, v, payloads.at(p), index);
  }
  hnsw_ = std::move(fresh);
  payload_index_ = std::move(index);
  views_.clear();
  payloads_ = std::move(payloads);
  deleted_.clear();
  if (sq8_) hnsw_->quantize_sq8();
  return Status::Ok();
}

void Segment::live_bits(uint64_t nodes, uint64_t* words) const {
  hnsw_->live_bits(nodes, words);
  if (deleted_.empty()) return;
  // Deleted points are marked in the graph too; the set is checked as
  // is_live checks it.
  std::vector<uint64_t> ids(deleted_.begin(), deleted_.end()), at(ids.size());
  hnsw_->indexes_of(ids, at.data());
  for (uint64_t i : at) {
    if (i < nodes) words[i / 64] &= ~(uint64_t{1} << (i % 64));
  }
}

}  // namespace ulmora
