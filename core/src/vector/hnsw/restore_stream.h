// Streamed load of a snapshot file straight into a graph: the vectors go
// from a small read window into the vector column, the neighbour lists into
// their list blocks, and only the window of the file is resident at a time
// (the file's bytes and the graph never are at once).
//
// The layers come before the vectors in the record, so node indices are not
// known while they stream past: a first pass sums the checksum, checks the
// layers' shape and decodes everything else; a second pass reads the layers
// again and stores them, and must see the same bytes (same checksum).
//
// The result equals what decoding the whole file and restoring its graph
// record builds. This path takes only the regular case (a version-2 or -3
// file whose maps are sorted, with one vector length equal to dim and a
// matching checksum); for anything else it declines and the caller takes
// the whole-file path, which reports every decode error in its order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "format/snapshot.h"
#include "vector/hnsw/index.h"

namespace ulmora::hnsw {

struct StreamedSegment {
  std::unique_ptr<HnswIndex> index;
  SegmentSnapshot rest;  // payload index, payloads, deleted, next id (hnsw left empty)
  uint64_t file_bytes = 0;
  // Where the time went: reads, checksum, decoding (the first pass), and
  // building (node columns, id map, the second pass).
  uint64_t read_ns = 0, checksum_ns = 0, decode_ns = 0, build_ns = 0;
};

// The segment at `path`, or nothing when the whole-file path must load it.
// Errors are only those of opening and reading the file.
Result<std::optional<StreamedSegment>> load_streamed(const std::string& path);

}  // namespace ulmora::hnsw
