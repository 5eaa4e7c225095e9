// Inspection of a segment and its files: counts, per-level node counts and
// degree statistics, next id, configuration, snapshot form and log summary.
// Read-only: inspecting never takes the writer lock and never writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "segment/segment.h"

namespace ulmora {

struct DegreeStats {
  uint64_t min = 0;
  double mean = 0.0;
  uint64_t max = 0;
};

struct SegmentInfo {
  Metric metric = Metric::kCosine;
  uint64_t dim = 0;
  uint64_t points = 0;   // graph nodes, deleted ones included
  uint64_t deleted = 0;  // nodes deleted (segment set or graph mark)
  uint64_t next_id = 0;
  uint64_t m = 0;
  uint64_t ef_construction = 0;
  std::vector<uint64_t> levels;      // nodes per level, level 0 first
  std::vector<DegreeStats> degree;   // per level, over the nodes of that level
  std::optional<std::vector<std::string>> filter_keys;  // Segment::filter_keys, sorted
};

struct FileInfo {
  uint32_t format_version = 0;  // header version; 1 for an unversioned body
  bool checksum = false;        // a checksum trailer is present
  uint64_t snapshot_bytes = 0;
  std::string log_path;
  bool log_exists = false;
  uint64_t log_records = 0;  // intact records
  uint64_t log_bytes = 0;
  bool log_torn = false;     // bytes after the last intact record
};

SegmentInfo describe(const Segment& seg);
// Reads the snapshot's first and last 8 bytes and scans the log's frames
// (the files `path` resolves to, segment_files.h).
Result<FileInfo> describe_files(const std::string& path);
// Loads the snapshot (checksum checked), replays its log without opening it
// for writing, and describes both; again from the start when the snapshot
// was replaced meanwhile (segment_files.h).
Result<std::pair<SegmentInfo, FileInfo>> inspect(const std::string& path);

}  // namespace ulmora
