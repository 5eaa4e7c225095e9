// Fuzz target: the value decoder, driven by a program of opcodes (seeds.h).
// Every value that decodes must re-encode to exactly the bytes it was read
// from (records: re-encoding is stable and decodes again), and a failed
// read must leave an error text and stop the program.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/utf8.h"
#include "check.h"
#include "format/codec.h"
#include "format/payload.h"
#include "format/snapshot.h"
#include "format/wal_record.h"
#include "seeds.h"

namespace {

using namespace ulmora;
using Bytes = std::vector<uint8_t>;

// The bytes consumed since `from` must equal `encoded`.
void expect_consumed(const Decoder& d, const uint8_t* base, size_t from, const Bytes& encoded) {
  FUZZ_CHECK(d.position() - from == encoded.size());
  FUZZ_CHECK(encoded.empty() || std::memcmp(base + from, encoded.data(), encoded.size()) == 0);
}

template <class F>
Bytes encode_with(F&& f) {
  Bytes out;
  Encoder e(out);
  f(e);
  return out;
}

// Decodes `encoded` with `decode`, which must succeed and consume it all.
template <class T, class Decode>
T redecode(const Bytes& encoded, Decode&& decode) {
  Decoder d(encoded.data(), encoded.size());
  T value{};
  FUZZ_CHECK(decode(d, value));
  FUZZ_CHECK(d.remaining() == 0);
  return value;
}

template <class T, class Read, class Write>
bool fixed(Decoder& d, const uint8_t* base, Read read, Write write) {
  const size_t from = d.position();
  T v{};
  if (!(d.*read)(v)) return false;
  expect_consumed(d, base, from, encode_with([&](Encoder& e) { (e.*write)(v); }));
  return true;
}

template <class T>
bool array(Decoder& d, const uint8_t* base, bool (Decoder::*read)(uint64_t, std::vector<T>&)) {
  const size_t from = d.position();
  uint64_t count = 0;
  std::vector<T> v{T{}};  // arrays append: the old element must stay
  if (!d.u64(count) || !(d.*read)(count, v)) return false;
  FUZZ_CHECK(v.size() == count + 1);
  expect_consumed(d, base, from, encode_with([&](Encoder& e) {
                    e.u64(count);
                    e.array(v.data() + 1, count);
                  }));
  return true;
}

bool record(Decoder& d, uint8_t op) {
  switch (op) {
    case fuzz::kOpPayloadValue: {
      PayloadValue v;
      if (!decode_payload_value(d, v)) return false;
      Bytes once = encode_with([&](Encoder& e) { encode_payload_value(e, v); });
      FUZZ_CHECK(once.size() == encoded_size(v));
      PayloadValue again = redecode<PayloadValue>(once, decode_payload_value);
      FUZZ_CHECK(again == v);
      return true;
    }
    case fuzz::kOpWalRecord: {
      WalRecord r;
      if (!decode_wal_record(d, r)) return false;
      Bytes once;
      encode_wal_record(r, once);
      FUZZ_CHECK(once.size() == wal_record_size(r));
      WalRecord again = redecode<WalRecord>(once, decode_wal_record);
      Bytes twice;
      encode_wal_record(again, twice);
      FUZZ_CHECK(once == twice);
      return true;
    }
    case fuzz::kOpMetadata: {
      const size_t from = d.position();
      SnapshotMetadata m;
      if (!decode_snapshot_metadata(d, m)) return false;
      // Fixed-width fields only: the encoding is exactly what was read.
      Bytes once = encode_with([&](Encoder& e) { encode_snapshot_metadata(e, m); });
      FUZZ_CHECK(d.position() - from == once.size());
      return true;
    }
    case fuzz::kOpGraph:
    case fuzz::kOpGraphV1: {
      const bool v1 = op == fuzz::kOpGraphV1;
      HnswSnapshot s;
      if (!decode_hnsw_snapshot(d, s, v1)) return false;
      Bytes once = encode_with([&](Encoder& e) { encode_hnsw_snapshot(e, s, v1); });
      HnswSnapshot again =
          redecode<HnswSnapshot>(once, [&](Decoder& dd, HnswSnapshot& out) { return decode_hnsw_snapshot(dd, out, v1); });
      FUZZ_CHECK(encode_with([&](Encoder& e) { encode_hnsw_snapshot(e, again, v1); }) == once);
      return true;
    }
    default: {
      SegmentSnapshot s;
      if (!decode_segment_snapshot(d, s, false)) return false;
      Bytes once = encode_with([&](Encoder& e) { encode_segment_snapshot(e, s, false); });
      SegmentSnapshot again = redecode<SegmentSnapshot>(
          once, [](Decoder& dd, SegmentSnapshot& out) { return decode_segment_snapshot(dd, out, false); });
      FUZZ_CHECK(again.payloads.size() == s.payloads.size());
      FUZZ_CHECK(again.payload_index.size() == s.payload_index.size());
      FUZZ_CHECK(again.deleted == s.deleted);
      FUZZ_CHECK(again.next_id == s.next_id);
      return true;
    }
  }
}

bool step(Decoder& d, const uint8_t* base, uint8_t op) {
  switch (op) {
    case fuzz::kOpU8: {
      const size_t from = d.position();
      uint8_t v = 0;
      if (!d.u8(v)) return false;
      expect_consumed(d, base, from, Bytes{v});
      return true;
    }
    case fuzz::kOpU32: return fixed<uint32_t>(d, base, &Decoder::u32, &Encoder::u32);
    case fuzz::kOpU64: return fixed<uint64_t>(d, base, &Decoder::u64, &Encoder::u64);
    case fuzz::kOpI64: return fixed<int64_t>(d, base, &Decoder::i64, &Encoder::i64);
    case fuzz::kOpF32: return fixed<float>(d, base, &Decoder::f32, &Encoder::f32);
    case fuzz::kOpF64: return fixed<double>(d, base, &Decoder::f64, &Encoder::f64);
    case fuzz::kOpBool: return fixed<bool>(d, base, &Decoder::boolean, &Encoder::boolean);
    case fuzz::kOpString: {
      const size_t from = d.position();
      std::string s;
      if (!d.string(s)) return false;
      FUZZ_CHECK(utf8::is_valid(s));
      expect_consumed(d, base, from, encode_with([&](Encoder& e) { e.string(s); }));
      return true;
    }
    case fuzz::kOpOption: {
      const size_t from = d.position();
      bool present = false;
      if (!d.option(present)) return false;
      expect_consumed(d, base, from, Bytes{uint8_t(present ? 1 : 0)});
      return true;
    }
    case fuzz::kOpVariant: {
      uint8_t bound = 0;
      uint32_t index = 0;
      if (!d.u8(bound) || !d.variant(index, bound)) return false;
      FUZZ_CHECK(index < bound);
      return true;
    }
    case fuzz::kOpF32Array: return array<float>(d, base, &Decoder::f32_array);
    case fuzz::kOpU64Array: return array<uint64_t>(d, base, &Decoder::u64_array);
    case fuzz::kOpI64Array: return array<int64_t>(d, base, &Decoder::i64_array);
    case fuzz::kOpF64Array: return array<double>(d, base, &Decoder::f64_array);
    case fuzz::kOpSkip:
    case fuzz::kOpBytes: {
      uint8_t n = 0;
      if (!d.u8(n)) return false;
      const size_t from = d.position();
      uint8_t buf[256];
      if (!(op == fuzz::kOpSkip ? d.skip(n) : d.bytes(buf, n))) return false;
      FUZZ_CHECK(d.position() - from == n);
      if (op == fuzz::kOpBytes && n) FUZZ_CHECK(std::memcmp(buf, base + from, n) == 0);
      return true;
    }
    default: return record(d, op);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decoder d(data, size);
  while (d.remaining() > 0) {
    uint8_t op = 0;
    FUZZ_CHECK(d.u8(op));
    const size_t before = d.remaining();
    if (!step(d, data, op % fuzz::kValueOpCount)) {
      FUZZ_CHECK(d.failed() && !d.error().empty());
      break;
    }
    FUZZ_CHECK(!d.failed());
    FUZZ_CHECK(d.remaining() <= before);
    FUZZ_CHECK(d.position() + d.remaining() == size);
  }
  return 0;
}
