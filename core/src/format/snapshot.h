// Segment snapshot records and files: the current and version-1 record
// shapes, the "VDBS" version header (2, 3), the version-3 "VDBM" metadata
// block and the "VDBF" Adler-32 trailer. File layout: docs/snapshot_format.md.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "format/payload.h"

namespace ulmora {

inline constexpr char kSnapshotTrailerMagic[4] = {'V', 'D', 'B', 'F'};
inline constexpr char kSnapshotHeaderMagic[4] = {'V', 'D', 'B', 'S'};
inline constexpr char kSnapshotMetadataMagic[4] = {'V', 'D', 'B', 'M'};
inline constexpr uint32_t kSnapshotMetadataVersion = 1;

enum class Metric : uint8_t { kCosine = 0, kDot = 1, kEuclidean = 2 };
const char* metric_name(Metric m);  // "Cosine", "Dot", "Euclidean"

// Maps are held flat: keys in ascending order, each key once. Decoding keeps
// the last occurrence of a repeated key without building node-based maps.

// map u64 -> list f32 (the stored vectors). Entry i is data[begin[i] ..
// begin[i] + length[i]).
struct F32ListMap {
  std::vector<uint64_t> keys;
  std::vector<uint64_t> begin;
  std::vector<uint64_t> length;
  std::vector<float> data;
  size_t size() const { return keys.size(); }
  std::span<const float> at(size_t i) const { return {data.data() + begin[i], static_cast<size_t>(length[i])}; }
  // Appends one entry (any key order); call finalize() afterwards.
  void append(uint64_t key, std::span<const float> values);
  // Sorts by key and keeps the last occurrence of each key.
  void finalize();
};

// map u64 -> list u64 (one level's neighbour lists).
struct U64ListMap {
  std::vector<uint64_t> keys;
  std::vector<uint64_t> begin;
  std::vector<uint64_t> length;
  std::vector<uint64_t> data;
  size_t size() const { return keys.size(); }
  std::span<const uint64_t> at(size_t i) const {
    return {data.data() + begin[i], static_cast<size_t>(length[i])};
  }
  void append(uint64_t key, std::span<const uint64_t> values);
  void finalize();
};

// map u64 -> u64, sorted by key, unique.
using U64Map = std::vector<std::pair<uint64_t, uint64_t>>;
// set of u64, sorted, unique.
using U64Set = std::vector<uint64_t>;

struct HnswSnapshot {
  std::vector<std::pair<uint64_t, U64ListMap>> layers;  // level -> lists, sorted by level, unique
  F32ListMap vectors;
  U64Map levels;
  std::optional<uint64_t> entry_point;
  Metric metric = Metric::kCosine;
  uint64_t m = 16;
  uint64_t m0 = 0;
  uint64_t m0_cap = 0;
  uint64_t ef_search = 128;
  uint64_t ef_construction = 200;
  uint64_t level_cap = 16;
  double level_scale = 0.0;
  uint64_t max_level = 0;
  uint64_t dim = 0;
  U64Set deleted;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 256;
};

// Sorts every map of a graph record by key keeping the last occurrence of a
// repeated key, as decoding does; records built by hand may arrive in any
// order. The list maps must be well formed (offsets inside their data).
void normalize(HnswSnapshot& s);

struct SegmentSnapshot {
  HnswSnapshot hnsw;
  PayloadIndex payload_index;
  PayloadMap payloads;
  PointIdSet deleted;
  uint64_t next_id = 0;
  // Payload keys that get filter edges, chosen when the segment was built
  // or opened; none: the environment decides. Not part of this record: it
  // travels in the metadata block (encode_snapshot_file, version 3 only).
  std::optional<std::vector<std::string>> filter_keys;
};

struct SnapshotMetadata {
  uint64_t created_at_ms = 0;
  HnswSnapshot hnsw_config;  // only the configuration fields are written/read
  uint64_t points = 0;
  uint64_t payloads = 0;
  // Optional trailing field after `payloads`: list string. Readers that
  // decode only the four fields above ignore it as trailing bytes.
  std::optional<std::vector<std::string>> filter_keys;
};

// Record decoders. `v1` selects the 15-field graph shape (no m0, m0_cap),
// upgraded on the way to m0 = m0_cap = 2 * m (wrapping).
bool decode_hnsw_snapshot(Decoder& d, HnswSnapshot& out, bool v1);
bool decode_segment_snapshot(Decoder& d, SegmentSnapshot& out, bool v1);
bool decode_snapshot_metadata(Decoder& d, SnapshotMetadata& out);
// The optional `filter_keys` field after the four fields decode_snapshot_metadata
// read: nothing when no bytes follow, or when they do not decode as a list
// of strings (such bytes are trailing data to every reader).
std::optional<std::vector<std::string>> decode_metadata_filter_keys(Decoder& d);
void encode_metadata_filter_keys(Encoder& e, const std::vector<std::string>& keys);
// The parts of those records after their first fields, for readers that
// take the leading fields from a stream themselves: the graph record from
// `levels` on (after `layers` and `vectors`), the segment record from
// `payload_index` on (after `hnsw`).
bool decode_hnsw_after_vectors(Decoder& d, HnswSnapshot& out, bool v1);
bool decode_segment_after_graph(Decoder& d, SegmentSnapshot& out);
void encode_hnsw_snapshot(Encoder& e, const HnswSnapshot& s, bool v1);
void encode_segment_snapshot(Encoder& e, const SegmentSnapshot& s, bool v1);
void encode_snapshot_metadata(Encoder& e, const SnapshotMetadata& m);

// File reading, split in the loader's two timed steps.
// 1. Trailer: the body (whole file, or all but the last 8 bytes when they
//    start with "VDBF" and the checksum matches) or
//    Serialization("segment snapshot checksum mismatch").
Result<std::span<const uint8_t>> snapshot_body(std::span<const uint8_t> file);
// 2. Body: version header, metadata block, current or version-1 shape.
Result<SegmentSnapshot> decode_snapshot_body(std::span<const uint8_t> body);
// The filter keys in the metadata block of the snapshot file at `path`
// (read from the block alone, not the whole file): nothing for a file
// without a block or without the field. Io errors of the reads.
Result<std::optional<std::vector<std::string>>> read_snapshot_filter_keys(const std::string& path);

enum class SnapshotForm {
  kUnversioned,    // bare current-shape body
  kUnversionedV1,  // bare version-1 body
  kVersion2,       // "VDBS" 2
  kVersion3,       // "VDBS" 3 with metadata block
  kVersion3Bare,   // "VDBS" 3 without metadata block
};

struct SnapshotWriteOptions {
  SnapshotForm form = SnapshotForm::kVersion3;
  bool trailer = true;
  uint64_t created_at_ms = 0;
};

std::vector<uint8_t> encode_snapshot_file(const SegmentSnapshot& s, const SnapshotWriteOptions& opts = {});

}  // namespace ulmora
