#include "format/wal_record.h"

namespace ulmora {

uint64_t wal_record_size(const WalRecord& r) {
  switch (r.kind) {
    case WalRecord::kInsert:
      return 4 + 8 + 8 + 4 * uint64_t{r.vector.size()} + 1 + (r.payload ? encoded_size(*r.payload) : 0);
    case WalRecord::kDelete: return 12;
    case WalRecord::kUpdatePayload: return 4 + 8 + (r.payload ? encoded_size(*r.payload) : 8);
  }
  return 0;
}

void encode_wal_record(const WalRecord& r, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(wal_record_size(r)));
  Encoder e(out);
  e.u32(r.kind);
  e.u64(r.point_id);
  switch (r.kind) {
    case WalRecord::kInsert:
      e.u64(r.vector.size());
      e.array(r.vector.data(), r.vector.size());
      e.u8(r.payload ? 1 : 0);
      if (r.payload) encode_payload(e, *r.payload);
      break;
    case WalRecord::kDelete: break;
    case WalRecord::kUpdatePayload:
      // The field is not optional in this variant; a missing payload is empty.
      if (r.payload) encode_payload(e, *r.payload);
      else e.u64(0);
      break;
  }
}

bool decode_wal_record(Decoder& d, WalRecord& out) {
  uint32_t kind = 0;
  if (!d.variant(kind, 3) || !d.u64(out.point_id)) return false;
  out.kind = static_cast<WalRecord::Kind>(kind);
  out.vector.clear();
  out.payload.reset();
  switch (out.kind) {
    case WalRecord::kInsert: {
      uint64_t n = 0;
      bool present = false;
      if (!d.u64(n) || !d.f32_array(n, out.vector) || !d.option(present)) return false;
      if (present && !decode_payload(d, out.payload.emplace())) return false;
      return true;
    }
    case WalRecord::kDelete: return true;
    case WalRecord::kUpdatePayload: return decode_payload(d, out.payload.emplace());
  }
  return false;
}

}  // namespace ulmora
