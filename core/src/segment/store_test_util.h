// Helpers shared by the segment store tests: scoped environment variables,
// temporary directories, snapshot files and hand-built logs.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "base/adler32.h"
#include "format/snapshot.h"
#include "format/wal_record.h"
#include "segment/segment.h"

namespace ulmora::testing_util {

// Sets (or, with nullptr, unsets) a variable for the scope, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = std::string(old);
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ulmora_store_XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    path_ = ::mkdtemp(buf.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint64_t file_size(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : n;
}

// An empty graph of `dim` dimensions, small enough to insert into quickly.
inline SegmentSnapshot empty_snapshot(uint64_t dim, Metric metric = Metric::kEuclidean) {
  SegmentSnapshot s;
  s.hnsw.dim = dim;
  s.hnsw.metric = metric;
  s.hnsw.m = 4;
  s.hnsw.ef_search = 16;
  s.hnsw.ef_construction = 16;
  s.hnsw.level_cap = 4;
  s.hnsw.level_scale = 1.0 / std::log(4.0);
  return s;
}

inline std::string write_snapshot(const std::string& path, const SegmentSnapshot& s,
                                  const SnapshotWriteOptions& opts = {}) {
  write_bytes(path, encode_snapshot_file(s, opts));
  return path;
}

inline WalRecord insert_record(uint64_t id, std::vector<float> v, std::optional<Payload> payload = std::nullopt) {
  WalRecord r;
  r.kind = WalRecord::kInsert;
  r.point_id = id;
  r.vector = std::move(v);
  r.payload = std::move(payload);
  return r;
}

inline WalRecord delete_record(uint64_t id) {
  WalRecord r;
  r.kind = WalRecord::kDelete;
  r.point_id = id;
  return r;
}

inline WalRecord update_record(uint64_t id, Payload payload) {
  WalRecord r;
  r.kind = WalRecord::kUpdatePayload;
  r.point_id = id;
  r.payload = std::move(payload);
  return r;
}

// A log built by hand: header, then framed records (or raw frames).
class LogBuilder {
 public:
  LogBuilder() { raw({'V', 'D', 'B', 'W', 1, 0, 0, 0}); }
  LogBuilder& add(const WalRecord& r) {
    std::vector<uint8_t> body;
    encode_wal_record(r, body);
    return frame(body, adler32(body.data(), body.size()));
  }
  LogBuilder& frame(const std::vector<uint8_t>& body, uint32_t checksum) {
    u32(static_cast<uint32_t>(body.size()));
    raw(body);
    return u32(checksum);
  }
  LogBuilder& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  LogBuilder& raw(const std::vector<uint8_t>& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

inline Payload payload_of(std::initializer_list<std::pair<const std::string, PayloadValue>> entries) {
  return Payload(entries);
}

inline PayloadValue int_value(int64_t v) { return PayloadValue{PayloadValue::Storage(std::in_place_index<0>, v)}; }
inline PayloadValue str_value(std::string v) {
  return PayloadValue{PayloadValue::Storage(std::in_place_index<2>, std::move(v))};
}

// Live ids with their vectors and payloads, and next_id: what a segment
// must come back to after a reload, a replay or a compaction.
struct State {
  std::map<uint64_t, std::pair<std::vector<float>, std::optional<Payload>>> points;
  uint64_t next_id = 0;
  friend bool operator==(const State&, const State&) = default;
};

inline State state_of(const Segment& seg) {
  State s;
  const hnsw::HnswIndex& g = seg.hnsw();
  for (uint64_t i = 0; i < g.len(); ++i) {
    const uint64_t id = g.point_id(i);
    if (g.live_vector(i) == nullptr || seg.deleted().count(id) != 0) continue;
    std::optional<Payload> p;
    if (auto it = seg.payloads().find(id); it != seg.payloads().end()) p = it->second;
    s.points[id] = {std::vector<float>(g.vector(i), g.vector(i) + g.dim()), p};
  }
  s.next_id = seg.next_id();
  return s;
}

// Normal rows (rows x dim, row-major) from a fixed seed.
inline std::vector<float> random_rows(uint64_t rows, uint64_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(rows * dim);
  for (float& x : v) x = normal(rng);
  return v;
}

}  // namespace ulmora::testing_util
