// Write-ahead log records and framing. File layout: docs/wal_format.md.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "format/codec.h"
#include "format/payload.h"

namespace ulmora {

inline constexpr char kWalMagic[4] = {'V', 'D', 'B', 'W'};
inline constexpr uint32_t kWalVersion = 1;
inline constexpr size_t kWalHeaderSize = 8;

struct WalRecord {
  enum Kind : uint32_t { kInsert = 0, kDelete = 1, kUpdatePayload = 2 };
  Kind kind = kInsert;
  uint64_t point_id = 0;
  std::vector<float> vector;       // Insert only
  std::optional<Payload> payload;  // Insert: optional; UpdatePayload: always present
};

// Exact size of the encoded body.
uint64_t wal_record_size(const WalRecord& r);
// Encodes into `out` (cleared first), sized exactly once.
void encode_wal_record(const WalRecord& r, std::vector<uint8_t>& out);
bool decode_wal_record(Decoder& d, WalRecord& out);

}  // namespace ulmora
