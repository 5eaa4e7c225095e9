// Segment: one loaded segment (graph, payloads, payload index, deleted set,
// next id) with its optional write-ahead log writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "segment/format/payload.h"
#include "vector/hnsw/core.h"

namespace ulmora {

class WalWriter;

class Segment {
 public:
  // Reads, checks and decodes the snapshot at `path`, restores its graph,
  // then replays the log beside it (path with extension "wal") and opens
  // that log for appending. Prints the timing line on standard error when
  // VECTORDB_LOG_SNAPSHOT_LOAD_TIMING is on.
  static Result<std::unique_ptr<Segment>> load(const std::string& path);

  ~Segment();

  const hnsw::HnswIndex& hnsw() const { return *hnsw_; }
  hnsw::HnswIndex& hnsw() { return *hnsw_; }

 private:
  Segment() = default;
  std::unique_ptr<hnsw::HnswIndex> hnsw_;
  std::unique_ptr<WalWriter> wal_;
  PayloadIndex payload_index_;
  PayloadMap payloads_;
  PointIdSet deleted_;
  uint64_t next_id_ = 0;
  std::atomic<bool> rebuilding_{false};
  bool unloaded_ = false;
};

}  // namespace ulmora
