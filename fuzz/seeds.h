// Seed inputs of the fuzz targets, built with the format layer's encoders
// (nothing binary is checked in), and the fixed segments the log target
// replays into.
//
// Input layouts:
//   snapshot  a snapshot file, as stored.
//   wal       one control byte, then a log file. Control bits: 0-1 pick the
//             fixed segment (fixed_segment), 2 rewrites every record's
//             Adler-32 so mutated bodies reach decoding, 3 sets
//             VECTORDB_PURGE_DELETIONS, 4 loads through Segment::load
//             (snapshot file + log beside it) instead of replay_wal, 5
//             takes the snapshot from the input instead: a u32 length,
//             that many snapshot file bytes, then the log (the segment's
//             invariants are not checked then, as the snapshot may break
//             them).
//   value     a program for the value decoder: opcode bytes and their data.
//   payload   one encoded payload (u64 count, then key/value pairs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/snapshot.h"
#include "format/wal_record.h"

namespace ulmora::fuzz {

using Input = std::vector<uint8_t>;

// "snapshot", "wal", "value", "payload".
const std::vector<std::string>& target_names();

// Seed inputs for `target` (empty for an unknown name).
std::vector<Input> seeds(const std::string& target);

// Opcodes of the value target (the byte is taken modulo kValueOpCount).
enum ValueOp : uint8_t {
  kOpU8, kOpU32, kOpU64, kOpI64, kOpF32, kOpF64, kOpBool, kOpString, kOpOption, kOpVariant,
  kOpF32Array, kOpU64Array, kOpI64Array, kOpF64Array, kOpSkip, kOpBytes,
  kOpPayloadValue, kOpWalRecord, kOpMetadata, kOpGraph, kOpGraphV1, kOpSegment,
  kValueOpCount
};

// Control bits of the wal target.
inline constexpr uint8_t kWalSegmentMask = 0x03;
inline constexpr uint8_t kWalRepairChecksums = 0x04;
inline constexpr uint8_t kWalPurge = 0x08;
inline constexpr uint8_t kWalFullLoad = 0x10;
inline constexpr uint8_t kWalOwnSnapshot = 0x20;

// The segment a wal input replays into, by variant 0..3: a Euclidean graph
// of 12 points (dim 4) with payloads and deleted points; a Cosine graph of
// 3 points (dim 3); an empty Dot graph (dim 2); a two-point Euclidean graph
// (dim 1) whose insertions go to its level cap, 40.
SegmentSnapshot fixed_segment(unsigned variant);

// A segment of `n` points: two levels, payloads of every value kind on
// every other point (indexed), a few deleted points. Consistent: replayed
// mutations on it must keep the segment's invariants.
SegmentSnapshot sample_segment(uint64_t n, uint64_t dim, Metric metric, uint32_t seed);

// "VDBW", version 1, then each body framed with its length and Adler-32.
Input frame_log(const std::vector<std::vector<uint8_t>>& bodies);

}  // namespace ulmora::fuzz
