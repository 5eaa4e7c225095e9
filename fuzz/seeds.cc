#include "seeds.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "base/adler32.h"
#include "format/codec.h"
#include "format/sample_payload.h"

namespace ulmora::fuzz {

namespace {

using testing::every_kind_payload;

Input bytes_of(const char* magic, size_t n) { return Input(magic, magic + n); }

// Appends by resizing (GCC 12 misreports inserts into a growing vector).
void append(Input& out, const uint8_t* data, size_t n) {
  const size_t at = out.size();
  out.resize(at + n);
  if (n) std::memcpy(out.data() + at, data, n);
}

void append_u32(Input& out, uint32_t v) {
  uint8_t b[4];
  store_le(b, v);
  append(out, b, 4);
}

std::vector<Input> snapshot_seeds() {
  std::vector<Input> out;
  const SnapshotForm forms[] = {SnapshotForm::kUnversioned, SnapshotForm::kUnversionedV1, SnapshotForm::kVersion2,
                                SnapshotForm::kVersion3, SnapshotForm::kVersion3Bare};
  const Metric metrics[] = {Metric::kCosine, Metric::kDot, Metric::kEuclidean};
  uint32_t seed = 1;
  for (SnapshotForm form : forms) {
    for (bool trailer : {false, true}) {
      for (Metric metric : metrics) {
        const uint64_t n = 2 + seed % 7, dim = 1 + seed % 4;
        out.push_back(encode_snapshot_file(sample_segment(n, dim, metric, seed), {form, trailer, 1700000000000}));
        ++seed;
      }
    }
  }
  // Corner shapes: no points, one point, a graph naming unknown ids and
  // levels beyond the cap, an unsupported version.
  out.push_back(encode_snapshot_file(sample_segment(0, 3, Metric::kDot, 99), {SnapshotForm::kVersion3, false, 0}));
  out.push_back(encode_snapshot_file(sample_segment(1, 2, Metric::kCosine, 98), {SnapshotForm::kVersion2, false, 0}));
  SegmentSnapshot odd = sample_segment(6, 2, Metric::kEuclidean, 97);
  odd.hnsw.levels.back().second = 1000;
  odd.hnsw.layers.emplace_back(7, U64ListMap{});
  odd.hnsw.layers.back().second.append(1, std::vector<uint64_t>{1, 12345, 4});
  odd.hnsw.entry_point = 777;
  odd.hnsw.level_cap = 300;
  out.push_back(encode_snapshot_file(odd, {SnapshotForm::kUnversioned, false, 0}));
  out.push_back(bytes_of("VDBS\x04\x00\x00\x00", 8));
  return out;
}

std::vector<uint8_t> record_body(const WalRecord& r) {
  std::vector<uint8_t> body;
  encode_wal_record(r, body);
  return body;
}

Input with_control(uint8_t control, const Input& log) {
  Input in(1, control);
  append(in, log.data(), log.size());
  return in;
}

// Logs replayed into graphs with unusual settings, carried in the input.
void own_snapshot_seeds(std::vector<Input>& out) {
  for (unsigned variant = 0; variant < 4; ++variant) {
    SegmentSnapshot seg = sample_segment(5 + variant, 2, static_cast<Metric>(variant % 3), 40 + variant);
    HnswSnapshot& h = seg.hnsw;
    switch (variant) {
      case 0: h.m = 0; h.m0 = 0; h.m0_cap = 0; break;
      case 1: h.m = 1; h.ef_construction = 0; h.level_cap = 0; break;
      case 2: h.vectors.data[0] = std::numeric_limits<float>::quiet_NaN(); h.m0_cap = 1; break;
      default: h.level_scale = -1; h.max_level = 9; h.entry_point = 12345; break;
    }
    const Input snap = encode_snapshot_file(seg, {SnapshotForm::kVersion2, false, 0});
    std::vector<std::vector<uint8_t>> bodies;
    WalRecord r;
    for (uint64_t i = 0; i < 6; ++i) {
      r.kind = WalRecord::kInsert;
      r.point_id = 500 + i;
      r.vector = {float(i), -float(i)};
      r.payload = i % 2 ? std::optional<Payload>(every_kind_payload(i)) : std::nullopt;
      bodies.push_back(record_body(r));
    }
    r.kind = WalRecord::kDelete;
    r.vector.clear();
    r.payload.reset();
    for (uint64_t id : {uint64_t{1}, uint64_t{4}, uint64_t{501}}) {
      r.point_id = id;
      bodies.push_back(record_body(r));
    }
    Input in{static_cast<uint8_t>(kWalOwnSnapshot | (variant % 2 ? kWalPurge : 0))};
    append_u32(in, static_cast<uint32_t>(snap.size()));
    append(in, snap.data(), snap.size());
    const Input log = frame_log(bodies);
    append(in, log.data(), log.size());
    out.push_back(std::move(in));
  }
}

std::vector<Input> wal_seeds() {
  std::vector<Input> out;
  for (unsigned variant = 0; variant < 4; ++variant) {
    const SegmentSnapshot seg = fixed_segment(variant);
    const uint64_t dim = seg.hnsw.dim;
    std::vector<std::vector<uint8_t>> bodies;
    WalRecord ins;
    ins.kind = WalRecord::kInsert;
    ins.point_id = 1000 + variant;
    ins.vector.assign(dim, 0.25f);
    bodies.push_back(record_body(ins));
    ins.point_id = 1001 + variant;
    ins.payload = every_kind_payload(4);
    bodies.push_back(record_body(ins));
    ins.point_id = UINT64_MAX;
    ins.payload = every_kind_payload(6);
    bodies.push_back(record_body(ins));
    WalRecord upd;
    upd.kind = WalRecord::kUpdatePayload;
    upd.point_id = 1001 + variant;
    upd.payload = every_kind_payload(8);
    bodies.push_back(record_body(upd));
    WalRecord del;
    del.kind = WalRecord::kDelete;
    del.point_id = 1000 + variant;
    bodies.push_back(record_body(del));
    if (seg.hnsw.vectors.size() > 0) {
      del.point_id = seg.hnsw.vectors.keys[0];
      bodies.push_back(record_body(del));
    }
    const Input log = frame_log(bodies);
    for (uint8_t flags : {uint8_t(0), kWalRepairChecksums, uint8_t(kWalPurge | kWalRepairChecksums), kWalFullLoad}) {
      out.push_back(with_control(static_cast<uint8_t>(variant | flags), log));
    }
    // Every point deleted in a row, for the purge.
    std::vector<std::vector<uint8_t>> dels;
    for (size_t i = 0; i < seg.hnsw.vectors.size(); ++i) {
      del.point_id = seg.hnsw.vectors.keys[i];
      dels.push_back(record_body(del));
    }
    out.push_back(with_control(static_cast<uint8_t>(variant | kWalPurge), frame_log(dels)));
  }
  out.push_back(Input{0, 'V', 'D', 'B', 'W', 2, 0, 0, 0});
  out.push_back(Input{kWalFullLoad, 'V', 'D', 'B'});
  own_snapshot_seeds(out);
  return out;
}

// A program: opcode, then the bytes that op reads.
std::vector<Input> value_seeds() {
  std::vector<Input> out;
  auto program = [&](std::initializer_list<uint8_t> ops, auto&& fill) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    for (uint8_t op : ops) {
      e.u8(op);
      fill(e, op);
    }
    out.push_back(std::move(buf));
  };
  program({kOpU8, kOpU32, kOpU64, kOpI64, kOpF32, kOpF64, kOpBool, kOpOption, kOpVariant}, [](Encoder& e, uint8_t op) {
    switch (op) {
      case kOpU8: e.u8(7); break;
      case kOpU32: e.u32(0xDEADBEEF); break;
      case kOpU64: e.u64(1ull << 40); break;
      case kOpI64: e.i64(-5); break;
      case kOpF32: e.f32(1.5f); break;
      case kOpF64: e.f64(-2.25); break;
      case kOpBool: e.boolean(true); break;
      case kOpOption: e.u8(1); break;
      case kOpVariant: e.u8(8); e.u32(7); break;
    }
  });
  program({kOpString, kOpString, kOpSkip, kOpBytes}, [](Encoder& e, uint8_t op) {
    if (op == kOpString) e.string("h\xC3\xA9llo");
    if (op == kOpSkip || op == kOpBytes) {
      e.u8(3);
      e.raw("abc", 3);
    }
  });
  program({kOpF32Array, kOpU64Array, kOpI64Array, kOpF64Array}, [](Encoder& e, uint8_t op) {
    e.u64(2);
    if (op == kOpF32Array) {
      e.f32(1);
      e.f32(2);
    } else if (op == kOpF64Array) {
      e.f64(1);
      e.f64(2);
    } else {
      e.u64(1);
      e.u64(2);
    }
  });
  for (uint64_t id : {0, 4, 6}) {
    const Payload p = every_kind_payload(id);
    const char* keys[] = {"i", "ls", "lb"};
    size_t next = 0;
    program({kOpPayloadValue, kOpPayloadValue, kOpPayloadValue}, [&](Encoder& e, uint8_t) {
      auto it = p.find(keys[next++ % 3]);
      encode_payload_value(e, it != p.end() ? it->second : PayloadValue{int64_t(1)});
    });
  }
  WalRecord ins;
  ins.point_id = 9;
  ins.vector = {1, 2, 3};
  ins.payload = every_kind_payload(0);
  for (auto kind : {WalRecord::kInsert, WalRecord::kDelete, WalRecord::kUpdatePayload}) {
    ins.kind = kind;
    program({kOpWalRecord}, [&](Encoder& e, uint8_t) {
      std::vector<uint8_t> body;
      encode_wal_record(ins, body);
      e.raw(body.data(), body.size());
    });
  }
  const SegmentSnapshot seg = sample_segment(4, 2, Metric::kDot, 5);
  program({kOpMetadata}, [&](Encoder& e, uint8_t) {
    SnapshotMetadata m;
    m.hnsw_config = seg.hnsw;
    m.points = 4;
    encode_snapshot_metadata(e, m);
  });
  program({kOpGraph}, [&](Encoder& e, uint8_t) { encode_hnsw_snapshot(e, seg.hnsw, false); });
  program({kOpGraphV1}, [&](Encoder& e, uint8_t) { encode_hnsw_snapshot(e, seg.hnsw, true); });
  program({kOpSegment}, [&](Encoder& e, uint8_t) { encode_segment_snapshot(e, seg, false); });
  return out;
}

std::vector<Input> payload_seeds() {
  std::vector<Input> out;
  auto add = [&](const Payload& p) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    encode_payload(e, p);
    out.push_back(std::move(buf));
  };
  for (uint64_t id : {0, 1, 2, 4, 6, 8}) add(every_kind_payload(id));
  Payload special;
  special["nan"] = PayloadValue{std::numeric_limits<double>::quiet_NaN()};
  special["zero"] = PayloadValue{-0.0};
  special[""] = PayloadValue{std::vector<double>{std::numeric_limits<double>::infinity()}};
  special["k\xE2\x82\xAC"] = PayloadValue{std::vector<std::string>{"\xF0\x9F\x98\x80"}};
  add(special);
  return out;
}

}  // namespace

const std::vector<std::string>& target_names() {
  static const std::vector<std::string> names = {"snapshot", "wal", "value", "payload"};
  return names;
}

std::vector<Input> seeds(const std::string& target) {
  if (target == "snapshot") return snapshot_seeds();
  if (target == "wal") return wal_seeds();
  if (target == "value") return value_seeds();
  if (target == "payload") return payload_seeds();
  return {};
}

SegmentSnapshot sample_segment(uint64_t n, uint64_t dim, Metric metric, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  SegmentSnapshot s;
  HnswSnapshot& h = s.hnsw;
  h.dim = dim;
  h.m = 4;
  h.m0 = 8;
  h.m0_cap = 8;
  h.metric = metric;
  h.level_scale = 0.72;
  h.max_level = 1;
  h.ef_search = 16;
  h.ef_construction = 16;
  std::vector<float> v(dim);
  U64ListMap level0, level1;
  auto id_of = [](uint64_t i) { return i * 3 + 1; };
  for (uint64_t i = 0; i < n; ++i) {
    double norm = 0;
    for (auto& x : v) {
      x = unit(rng);
      norm += double(x) * x;
    }
    if (metric == Metric::kCosine && norm > 0) {
      for (auto& x : v) x = static_cast<float>(x / std::sqrt(norm));
    }
    h.vectors.append(id_of(i), v);
    std::vector<uint64_t> nb{id_of(i)};
    for (int k = 0; k < 4 && n > 1; ++k) nb.push_back(id_of(rng() % n));
    level0.append(id_of(i), nb);
    const bool upper = i % 3 == 0;
    if (upper) level1.append(id_of(i), std::span<const uint64_t>(nb.data(), nb.size() / 2 + 1));
    h.levels.emplace_back(id_of(i), upper ? 1 : 0);
  }
  h.layers.emplace_back(0, std::move(level0));
  if (level1.size() > 0) h.layers.emplace_back(1, std::move(level1));
  if (n > 0) h.entry_point = id_of(0);
  for (uint64_t i = 0; i < n; ++i) {
    if (n > 3 && i % 5 == 4) {  // deleted: marked in the graph, no payload
      h.deleted.push_back(id_of(i));
      s.deleted.insert(id_of(i));
      continue;
    }
    if (i % 2 == 1) continue;
    Payload p = every_kind_payload(i);
    index_payload(s.payload_index, id_of(i), p);
    put_payload(s.payloads, id_of(i), std::move(p));
  }
  s.next_id = id_of(n);
  return s;
}

SegmentSnapshot fixed_segment(unsigned variant) {
  switch (variant & kWalSegmentMask) {
    case 0: return sample_segment(12, 4, Metric::kEuclidean, 11);
    case 1: return sample_segment(3, 3, Metric::kCosine, 12);
    case 2: return sample_segment(0, 2, Metric::kDot, 13);
    default: {
      SegmentSnapshot s = sample_segment(2, 1, Metric::kEuclidean, 14);
      s.hnsw.level_cap = 40;
      s.hnsw.level_scale = 1e6;  // insertions go to the level cap
      return s;
    }
  }
}

Input frame_log(const std::vector<std::vector<uint8_t>>& bodies) {
  Input out = bytes_of("VDBW", 4);
  append_u32(out, kWalVersion);
  for (const auto& body : bodies) {
    append_u32(out, static_cast<uint32_t>(body.size()));
    append(out, body.data(), body.size());
    append_u32(out, adler32(body.data(), body.size()));
  }
  return out;
}

}  // namespace ulmora::fuzz
