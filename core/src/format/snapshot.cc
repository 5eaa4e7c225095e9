#include "format/snapshot.h"

#include <algorithm>
#include <numeric>

#include "base/adler32.h"

namespace ulmora {

const char* metric_name(Metric m) {
  switch (m) {
    case Metric::kCosine: return "Cosine";
    case Metric::kDot: return "Dot";
    case Metric::kEuclidean: return "Euclidean";
  }
  return "Cosine";
}

// ---- Flat maps ----

namespace {

template <class Keys>
bool strictly_ascending(const Keys& keys, size_t n) {
  for (size_t i = 1; i < n; ++i)
    if (!(keys(i - 1) < keys(i))) return false;
  return true;
}

template <class M, class T>
void append_entry(M& m, uint64_t key, std::span<const T> values) {
  m.keys.push_back(key);
  m.begin.push_back(m.data.size());
  m.length.push_back(values.size());
  m.data.insert(m.data.end(), values.begin(), values.end());
}

// Sorts entries by key (stable) and keeps the last occurrence of a repeated
// key. The data is rewritten in key order, dropping superseded lists.
template <class M>
void finalize_list_map(M& m) {
  const size_t n = m.keys.size();
  if (strictly_ascending([&](size_t i) { return m.keys[i]; }, n)) return;
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return m.keys[a] < m.keys[b]; });
  M out;
  out.keys.reserve(n);
  out.begin.reserve(n);
  out.length.reserve(n);
  out.data.reserve(m.data.size());
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 < n && m.keys[order[i + 1]] == m.keys[order[i]]) continue;
    const size_t j = order[i];
    append_entry(out, m.keys[j], m.at(j));
  }
  m = std::move(out);
}

// The same rule for vectors of (key, value) pairs.
template <class V>
void finalize_pairs(std::vector<std::pair<uint64_t, V>>& v) {
  if (strictly_ascending([&](size_t i) { return v[i].first; }, v.size())) return;
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t w = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (i + 1 < v.size() && v[i + 1].first == v[i].first) continue;
    if (w != i) v[w] = std::move(v[i]);
    ++w;
  }
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(w), v.end());
}

void finalize_set(U64Set& s) {
  if (strictly_ascending([&](size_t i) { return s[i]; }, s.size())) return;
  std::sort(s.begin(), s.end());
  s.erase(std::unique(s.begin(), s.end()), s.end());
}

}  // namespace

void F32ListMap::append(uint64_t key, std::span<const float> values) { append_entry(*this, key, values); }
void F32ListMap::finalize() { finalize_list_map(*this); }
void U64ListMap::append(uint64_t key, std::span<const uint64_t> values) { append_entry(*this, key, values); }
void U64ListMap::finalize() { finalize_list_map(*this); }

void normalize(HnswSnapshot& s) {
  s.vectors.finalize();
  finalize_pairs(s.levels);
  finalize_set(s.deleted);
  finalize_pairs(s.layers);
  for (auto& [level, lists] : s.layers) lists.finalize();
}

// ---- Record decoding ----

namespace {

// Walks `count` entries of (u64 key, u64 n, n elements of `elem` bytes)
// without copying; false when the bytes end first. Each entry takes at least
// 16 bytes, so the walk is bounded by the input, not by `count`.
bool scan_list_map(const uint8_t* p, size_t avail, uint64_t count, size_t elem, uint64_t& total) {
  total = 0;
  size_t off = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (avail - off < 16) return false;
    const uint64_t n = load_le<uint64_t>(p + off + 8);
    off += 16;
    if (n > (avail - off) / elem) return false;
    off += static_cast<size_t>(n) * elem;
    total += n;
  }
  return true;
}

// map u64 -> list of fixed-width T. Such a map can only fail by running out
// of bytes, so it is walked first: afterwards every count is known to be
// backed by input, the arrays are sized exactly once, and the lists are bulk
// copied.
template <class T, class M>
bool decode_list_map(Decoder& d, M& out) {
  out = M{};
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  uint64_t total = 0;
  if (!scan_list_map(d.peek(), d.remaining(), count, sizeof(T), total)) return d.fail_eof();
  const size_t n = static_cast<size_t>(count);
  out.keys.resize(n);
  out.begin.resize(n);
  out.length.resize(n);
  out.data.reserve(static_cast<size_t>(total));
  const uint8_t* start = d.peek();
  const uint8_t* p = start;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t len = load_le<uint64_t>(p + 8);
    out.keys[i] = load_le<uint64_t>(p);
    out.begin[i] = out.data.size();
    out.length[i] = len;
    p += 16;
    const size_t old = out.data.size();
    out.data.resize(old + static_cast<size_t>(len));
    if constexpr (std::endian::native == std::endian::little) {
      if (len) std::memcpy(out.data.data() + old, p, static_cast<size_t>(len) * sizeof(T));
    } else {
      for (size_t k = 0; k < len; ++k) out.data[old + k] = load_le<T>(p + k * sizeof(T));
    }
    p += static_cast<size_t>(len) * sizeof(T);
  }
  d.skip(static_cast<size_t>(p - start));
  out.finalize();
  return true;
}

bool decode_layers(Decoder& d, std::vector<std::pair<uint64_t, U64ListMap>>& out) {
  out.clear();
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  out.reserve(reserve_limit(count, sizeof(out[0])));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t level = 0;
    U64ListMap lists;
    if (!d.u64(level) || !decode_list_map<uint64_t>(d, lists)) return false;
    out.emplace_back(level, std::move(lists));
  }
  finalize_pairs(out);
  return true;
}

bool decode_u64_map(Decoder& d, U64Map& out) {
  out.clear();
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  if (count > d.remaining() / 16) return d.fail_eof();  // only end of data can fail here
  out.resize(static_cast<size_t>(count));
  const uint8_t* p = d.peek();
  for (auto& [k, v] : out) {
    k = load_le<uint64_t>(p);
    v = load_le<uint64_t>(p + 8);
    p += 16;
  }
  d.skip(out.size() * 16);
  finalize_pairs(out);
  return true;
}

bool decode_u64_set(Decoder& d, U64Set& out) {
  out.clear();
  uint64_t count = 0;
  if (!d.u64(count) || !d.u64_array(count, out)) return false;
  finalize_set(out);
  return true;
}

bool decode_metric(Decoder& d, Metric& out) {
  uint32_t index = 0;
  if (!d.variant(index, 3)) return false;
  out = static_cast<Metric>(index);
  return true;
}

bool decode_optional_u64(Decoder& d, std::optional<uint64_t>& out) {
  bool present = false;
  if (!d.option(present)) return false;
  out.reset();
  if (!present) return true;
  uint64_t v = 0;
  if (!d.u64(v)) return false;
  out = v;
  return true;
}

// Fields from ef_search to dim, common to every graph shape.
bool decode_tuning_fields(Decoder& d, HnswSnapshot& s) {
  return d.u64(s.ef_search) && d.u64(s.ef_construction) && d.u64(s.level_cap) && d.f64(s.level_scale) &&
         d.u64(s.max_level) && d.u64(s.dim);
}

bool decode_payload_index(Decoder& d, PayloadIndex& out) {
  out.clear();
  uint64_t keys = 0;
  if (!d.u64(keys)) return false;
  out.reserve(reserve_limit(keys, sizeof(PayloadIndex::value_type)));
  for (uint64_t i = 0; i < keys; ++i) {
    std::string key;
    uint64_t values = 0;
    if (!d.string(key) || !d.u64(values)) return false;
    PayloadIndex::mapped_type by_value;
    by_value.reserve(reserve_limit(values, sizeof(PayloadIndex::mapped_type::value_type)));
    for (uint64_t j = 0; j < values; ++j) {
      PayloadValue value;
      uint64_t ids = 0;
      if (!decode_payload_value(d, value) || !d.u64(ids)) return false;
      if (ids > d.remaining() / 8) return d.fail_eof();
      PointIdSet set;
      set.reserve(reserve_limit(ids, sizeof(uint64_t)));
      for (uint64_t k = 0; k < ids; ++k) {
        uint64_t id = 0;
        d.u64(id);
        set.insert(id);
      }
      // A repeated key keeps its first spelling (e.g. 0.0 vs -0.0) and takes
      // the last value.
      by_value.try_emplace(std::move(value)).first->second = std::move(set);
    }
    out.try_emplace(std::move(key)).first->second = std::move(by_value);
  }
  return true;
}

bool decode_payloads(Decoder& d, PayloadMap& out) {
  out.clear();
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  out.reserve(reserve_limit(count, sizeof(PayloadMap::value_type)));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t id = 0;
    Payload payload;
    if (!d.u64(id) || !decode_payload(d, payload)) return false;
    out.insert_or_assign(id, std::move(payload));
  }
  return true;
}

bool decode_point_set(Decoder& d, PointIdSet& out) {
  out.clear();
  uint64_t count = 0;
  if (!d.u64(count)) return false;
  if (count > d.remaining() / 8) return d.fail_eof();
  out.reserve(reserve_limit(count, sizeof(uint64_t)));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t id = 0;
    d.u64(id);
    out.insert(id);
  }
  return true;
}

}  // namespace

bool decode_hnsw_after_vectors(Decoder& d, HnswSnapshot& s, bool v1) {
  if (!decode_u64_map(d, s.levels) || !decode_optional_u64(d, s.entry_point) || !decode_metric(d, s.metric) ||
      !d.u64(s.m)) {
    return false;
  }
  if (v1) {
    s.m0 = s.m * 2;  // wraps, as the upgrade is defined
    s.m0_cap = s.m * 2;
  } else if (!d.u64(s.m0) || !d.u64(s.m0_cap)) {
    return false;
  }
  return decode_tuning_fields(d, s) && decode_u64_set(d, s.deleted) && d.boolean(s.exact_fallback_enabled) &&
         d.u64(s.exact_fallback_threshold);
}

bool decode_hnsw_snapshot(Decoder& d, HnswSnapshot& s, bool v1) {
  return decode_layers(d, s.layers) && decode_list_map<float>(d, s.vectors) && decode_hnsw_after_vectors(d, s, v1);
}

bool decode_segment_after_graph(Decoder& d, SegmentSnapshot& out) {
  return decode_payload_index(d, out.payload_index) && decode_payloads(d, out.payloads) &&
         decode_point_set(d, out.deleted) && d.u64(out.next_id);
}

bool decode_segment_snapshot(Decoder& d, SegmentSnapshot& out, bool v1) {
  return decode_hnsw_snapshot(d, out.hnsw, v1) && decode_segment_after_graph(d, out);
}

bool decode_snapshot_metadata(Decoder& d, SnapshotMetadata& out) {
  HnswSnapshot& c = out.hnsw_config;
  return d.u64(out.created_at_ms) && decode_metric(d, c.metric) && d.u64(c.m) && d.u64(c.m0) &&
         d.u64(c.m0_cap) && decode_tuning_fields(d, c) && d.boolean(c.exact_fallback_enabled) &&
         d.u64(c.exact_fallback_threshold) && d.u64(out.points) && d.u64(out.payloads);
}

// ---- Record encoding ----

namespace {

template <class M>
void encode_list_map(Encoder& e, const M& m) {
  e.u64(m.size());
  for (size_t i = 0; i < m.size(); ++i) {
    auto values = m.at(i);
    e.u64(m.keys[i]);
    e.u64(values.size());
    e.array(values.data(), values.size());
  }
}

void encode_tuning_fields(Encoder& e, const HnswSnapshot& s) {
  e.u64(s.ef_search);
  e.u64(s.ef_construction);
  e.u64(s.level_cap);
  e.f64(s.level_scale);
  e.u64(s.max_level);
  e.u64(s.dim);
}

void encode_config_summary(Encoder& e, const HnswSnapshot& s) {
  e.u32(static_cast<uint32_t>(s.metric));
  e.u64(s.m);
  e.u64(s.m0);
  e.u64(s.m0_cap);
  encode_tuning_fields(e, s);
  e.boolean(s.exact_fallback_enabled);
  e.u64(s.exact_fallback_threshold);
}

template <class Set>
std::vector<uint64_t> sorted_ids(const Set& s) {
  std::vector<uint64_t> v(s.begin(), s.end());
  std::sort(v.begin(), v.end());
  return v;
}

void encode_ids(Encoder& e, const std::vector<uint64_t>& ids) {
  e.u64(ids.size());
  e.array(ids.data(), ids.size());
}

}  // namespace

void encode_hnsw_snapshot(Encoder& e, const HnswSnapshot& s, bool v1) {
  e.u64(s.layers.size());
  for (const auto& [level, lists] : s.layers) {
    e.u64(level);
    encode_list_map(e, lists);
  }
  encode_list_map(e, s.vectors);
  e.u64(s.levels.size());
  for (const auto& [k, v] : s.levels) {
    e.u64(k);
    e.u64(v);
  }
  e.u8(s.entry_point ? 1 : 0);
  if (s.entry_point) e.u64(*s.entry_point);
  e.u32(static_cast<uint32_t>(s.metric));
  e.u64(s.m);
  if (!v1) {
    e.u64(s.m0);
    e.u64(s.m0_cap);
  }
  encode_tuning_fields(e, s);
  encode_ids(e, s.deleted);
  e.boolean(s.exact_fallback_enabled);
  e.u64(s.exact_fallback_threshold);
}

// Keys and ids are written sorted so equal snapshots encode alike (the
// order carries no meaning for readers).
void encode_segment_snapshot(Encoder& e, const SegmentSnapshot& s, bool v1) {
  encode_hnsw_snapshot(e, s.hnsw, v1);
  std::vector<const PayloadIndex::value_type*> keys;
  for (const auto& entry : s.payload_index) keys.push_back(&entry);
  std::sort(keys.begin(), keys.end(), [](auto* a, auto* b) { return a->first < b->first; });
  e.u64(keys.size());
  for (const auto* entry : keys) {
    e.string(entry->first);
    e.u64(entry->second.size());
    for (const auto& [value, ids] : entry->second) {
      encode_payload_value(e, value);
      encode_ids(e, sorted_ids(ids));
    }
  }
  std::vector<uint64_t> points;
  for (const auto& entry : s.payloads) points.push_back(entry.first);
  std::sort(points.begin(), points.end());
  e.u64(points.size());
  for (uint64_t id : points) {
    e.u64(id);
    encode_payload(e, s.payloads.at(id));
  }
  encode_ids(e, sorted_ids(s.deleted));
  e.u64(s.next_id);
}

void encode_snapshot_metadata(Encoder& e, const SnapshotMetadata& m) {
  e.u64(m.created_at_ms);
  encode_config_summary(e, m.hnsw_config);
  e.u64(m.points);
  e.u64(m.payloads);
  if (m.filter_keys) encode_metadata_filter_keys(e, *m.filter_keys);
}

// ---- Files ----

namespace {

inline bool has_magic(const uint8_t* p, const char (&magic)[4]) { return std::memcmp(p, magic, 4) == 0; }

Result<SegmentSnapshot> decode_exact_shape(std::span<const uint8_t> bytes, bool v1) {
  Decoder d(bytes.data(), bytes.size());
  SegmentSnapshot s;
  if (!decode_segment_snapshot(d, s, v1)) return StoreError::Serialization(d.error());
  return s;  // bytes after the record are ignored
}

// The segment bytes of a version-3 payload: all of it, or all but a valid
// trailing metadata block.
std::span<const uint8_t> strip_metadata(std::span<const uint8_t> p,
                                        std::optional<std::vector<std::string>>* filter_keys) {
  const size_t n = p.size();
  if (n < 12 || !has_magic(p.data() + n - 4, kSnapshotMetadataMagic)) return p;
  if (load_le<uint32_t>(p.data() + n - 8) != kSnapshotMetadataVersion) return p;
  const uint64_t c = load_le<uint32_t>(p.data() + n - 12);
  if (n < c + 12) return p;
  const size_t meta_at = n - 12 - static_cast<size_t>(c);
  Decoder d(p.data() + meta_at, static_cast<size_t>(c));
  SnapshotMetadata meta;
  if (!decode_snapshot_metadata(d, meta)) return p;  // undecodable metadata: treat as segment bytes
  if (filter_keys) *filter_keys = decode_metadata_filter_keys(d);
  return p.first(meta_at);
}

}  // namespace

Result<std::span<const uint8_t>> snapshot_body(std::span<const uint8_t> file) {
  const size_t n = file.size();
  if (n < 8 || !has_magic(file.data() + n - 8, kSnapshotTrailerMagic)) return file;
  const uint32_t stored = load_le<uint32_t>(file.data() + n - 4);
  if (adler32(file.data(), n - 8) != stored) return StoreError::Serialization("segment snapshot checksum mismatch");
  return file.first(n - 8);
}

Result<SegmentSnapshot> decode_snapshot_body(std::span<const uint8_t> body) {
  if (body.size() >= 8 && has_magic(body.data(), kSnapshotHeaderMagic)) {
    const uint32_t version = load_le<uint32_t>(body.data() + 4);
    const auto payload = body.subspan(8);
    if (version == 2) return decode_exact_shape(payload, false);
    if (version == 3) {
      std::optional<std::vector<std::string>> keys;
      auto s = decode_exact_shape(strip_metadata(payload, &keys), false);
      if (s.ok()) s->filter_keys = std::move(keys);
      return s;
    }
    return StoreError::Serialization("unsupported segment snapshot version " + std::to_string(version));
  }
  auto current = decode_exact_shape(body, false);
  if (current.ok()) return current;
  return decode_exact_shape(body, true);  // its error is the one reported
}

std::vector<uint8_t> encode_snapshot_file(const SegmentSnapshot& s, const SnapshotWriteOptions& opts) {
  std::vector<uint8_t> out;
  const auto& h = s.hnsw;
  out.reserve(4096 + h.vectors.data.size() * 4 + h.vectors.size() * 24 + h.levels.size() * 16);
  Encoder e(out);
  const bool versioned = opts.form == SnapshotForm::kVersion2 || opts.form == SnapshotForm::kVersion3 ||
                         opts.form == SnapshotForm::kVersion3Bare;
  if (versioned) {
    e.raw(kSnapshotHeaderMagic, 4);
    e.u32(opts.form == SnapshotForm::kVersion2 ? 2 : 3);
  }
  encode_segment_snapshot(e, s, opts.form == SnapshotForm::kUnversionedV1);
  if (opts.form == SnapshotForm::kVersion3) {
    const size_t start = out.size();
    e.u64(opts.created_at_ms);
    encode_config_summary(e, h);
    e.u64(h.vectors.size());
    e.u64(s.payloads.size());
    if (s.filter_keys) encode_metadata_filter_keys(e, *s.filter_keys);
    e.u32(static_cast<uint32_t>(out.size() - start));
    e.u32(kSnapshotMetadataVersion);
    e.raw(kSnapshotMetadataMagic, 4);
  }
  if (opts.trailer) {
    const uint32_t sum = adler32(out.data(), out.size());
    e.raw(kSnapshotTrailerMagic, 4);
    e.u32(sum);
  }
  return out;
}

}  // namespace ulmora
